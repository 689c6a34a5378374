#pragma once

// What the checks' judges share: how a verdict is said, the platform probe's
// say over whether a check shows anything, and the tests that most runs of
// the installer must pass.
#include "acceptance/judging.h"

namespace kit {

constexpr uint32_t ACE_ALLOWED = 0x0;
constexpr uint32_t INHERIT_TO_CHILDREN_ONLY = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
inline constexpr wchar_t ADMINISTRATORS[] = L"S-1-5-32-544";
inline constexpr wchar_t LOCAL_SYSTEM[] = L"S-1-5-18";
inline constexpr wchar_t CREATOR_OWNER[] = L"S-1-3-0";

void Say(Verdict& verdict, Status status, const wchar_t* a, const wchar_t* b = nullptr, const wchar_t* c = nullptr,
         const wchar_t* d = nullptr);
void SayNumber(Verdict& verdict, Status status, const wchar_t* before, uint32_t number, const wchar_t* after = nullptr);

// The platform probe's answer must be `wanted` for the check to show
// anything; otherwise NOT-SHOWN with the reason and what the probe saw.
bool Shown(const Facts& facts, const wchar_t* probe, const wchar_t* wanted, const wchar_t* reason, Verdict& verdict);

// `scratch` is "<the installer's folder>\QX_<five hex digits>.tmp".
bool IsScratchOf(const wchar_t* scratch, const wchar_t* installer);

// The setup program reported, and it ran as setup.exe in a scratch
// directory beside the installer: the installer wrote and expanded it.
bool SetupReported(const Facts& facts, const wchar_t* prefix, Verdict& verdict);

// One installer run: the exit code it had to give, its setup program's
// report, and nothing of the run left beside the installer.
bool RanCleanly(const Facts& facts, const wchar_t* prefix, uint32_t expected, Verdict& verdict);

// A probe result that must be 0 (the step worked); FAIL naming it otherwise.
bool ProbeDid(const Facts& facts, const wchar_t* prefix, const wchar_t* key, const wchar_t* what, Verdict& verdict);

struct Entry {
    uint32_t flags;
    uint32_t mask;
    const wchar_t* sid;
};

// The descriptor under `prefix` has exactly `entries`, in order, and the
// control bits in `control`.
bool DescriptorIs(const Facts& facts, const wchar_t* prefix, uint32_t control, const Entry* entries, int count,
                  Verdict& verdict);

}  // namespace kit
