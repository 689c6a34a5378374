#pragma once

// A process of the same user who turned a folder of its own into a junction
// and started the installer through it, in a thread of the kit: it watches
// the real folder for the installer's new scratch directory and, the moment
// one appears, makes a directory of the same name in a decoy folder, with a
// library of its own inside, and retargets the junction at the decoy. A stub
// that went on using the name it was started by would then write and start
// setup.exe in the decoy, or tell the setup program the decoy's installer.
#include "acceptance/facts.h"

namespace kit {

struct Retargeter {
    const wchar_t* real;     // the folder the junction leads to at first
    const wchar_t* via;      // the junction
    const wchar_t* decoy;    // where it is retargeted
    const wchar_t* library;  // planted in the decoy's directory as version.dll
    volatile LONG armed;     // 1: the next new scratch directory is gone for
    volatile LONG stop;
    HANDLE thread;
    uint64_t retargetedAt;   // the performance counter at the retarget; 0: none
    uint32_t error;          // the retarget's error; 0 when it was done
    uint32_t watchError;
    Text<16> name;           // the scratch directory it went for
};

// Starts watching; the runs may begin once this returns.
void StartRetargeter(Retargeter& retargeter);
// Arms it for one run: the junction back at the real folder, the decoy empty.
// 0, or the error of putting the junction back.
DWORD ArmRetargeter(Retargeter& retargeter);
// Stops the watch; "watch-error" under `prefix`.
void StopRetargeter(Retargeter& retargeter, Facts& facts, const wchar_t* prefix);

}  // namespace kit
