#pragma once

// The checks of an elevated run's second round: system libraries never from
// a folder the environment names, every path after the hold the held file's
// own (in a folder whose name ends in a dot too), a protected scratch
// directory on every volume, and no library from beside the installer or
// through its ".local" folder.
#include "acceptance/judging.h"

namespace kit {

// The libraries planted in the system32 of the folder that WINDIR names: the
// two the stub takes from the system.
extern const wchar_t* const ENVIRONMENT_PLANTED[];
extern const int ENVIRONMENT_PLANTED_COUNT;
// Names that Windows itself may look for beside a program, cryptbase.dll
// among them, with those two: planted beside the installer.
extern const wchar_t* const SYSTEM_NAMES[];
extern const int SYSTEM_NAME_COUNT;

void JudgeEnvironmentSystemFolder(const Facts& facts, Verdict& verdict);
void JudgeJunctionRetargeted(const Facts& facts, Verdict& verdict);
void JudgeFolderEndingInADot(const Facts& facts, Verdict& verdict);
void JudgeFolderOfHeldFilePinned(const Facts& facts, Verdict& verdict);
void JudgeNoAclVolume(const Facts& facts, Verdict& verdict);
void JudgeModulesFromSystem(const Facts& facts, Verdict& verdict);
void JudgeDotLocalIgnored(const Facts& facts, Verdict& verdict);

}  // namespace kit
