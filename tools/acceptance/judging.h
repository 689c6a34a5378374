#pragma once

// The judging: each check's verdict from the facts alone. Nothing here looks
// at the machine, so the same judging serves a live run and a file of facts
// that another machine reported (acceptance.exe --judge FILE).
#include "acceptance/facts.h"

namespace kit {

enum class Status { Pass, Fail, NotShown };

struct Verdict {
    Status status;
    Text<700> detail;
};

struct Check {
    const wchar_t* name;
    void (*judge)(const Facts& facts, Verdict& verdict);
};

// The checks in the order the table shows them.
extern const Check CHECKS[];
extern const int CHECK_COUNT;

// The exit codes the setup program is asked for, and the arguments typed
// after the installer's name, as the observing side runs them.
extern const uint32_t EXIT_CODES[];
extern const int EXIT_CODE_COUNT;
extern const wchar_t* const TYPED_ARGUMENTS[];
extern const int TYPED_ARGUMENT_COUNT;
constexpr int CROWD = 16;

// The command line the stub must give its setup program: the quoted setup
// path inside `scratch`, the three switches naming `installer`, then the
// text typed after the installer's name, `typed`.
void ComposeSetupCommand(const wchar_t* scratch, const wchar_t* installer, const wchar_t* typed, Text<4096>& out);

}  // namespace kit
