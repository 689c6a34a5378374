#pragma once

// A process of the same user beside a download, in a thread of the kit: it
// watches a folder for each new scratch directory and, the moment one
// appears, tries to rename it away and put a directory of its own at its
// name, holding a marker file "intruder.txt". A stub that made its
// directory and held it in two steps could be given the intruder's.
#include "acceptance/facts.h"

namespace kit {

struct Intruder {
    const wchar_t* folder;
    volatile LONG stop;
    HANDLE thread;
    uint32_t seen;       // new scratch directories it went for
    uint32_t swapped;    // of those, renamed away and replaced
    uint32_t refused;    // the rename refused as a sharing violation: the hold's refusal
    uint32_t missed;     // already gone when it came
    uint32_t otherwise;  // the rename refused for another reason, which shows nothing of the hold
    uint32_t error;      // the last such other reason's error
    uint32_t watchError; // why the folder could not be watched; 0 when it was
};

// Starts watching `folder`; the runs may begin once this returns.
void StartIntruder(Intruder& intruder, const wchar_t* folder);
// Stops the watch and records what the intruder did under `prefix`:
// "seen", "swapped", "refused", "missed", "refused-otherwise", "error" and
// "watch-error".
void StopIntruder(Intruder& intruder, Facts& facts, const wchar_t* prefix);

}  // namespace kit
