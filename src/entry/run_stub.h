#pragma once

#include <windows.h>
#include <stdint.h>

#include "outcome/run_outcome.h"

// The whole run: settings, refusal, the installer's own file held and
// checked, scratch directory, unpacking, launch and removal. Its exitCode is
// the process exit code.
RunOutcome RunStub(HMODULE module);

// The index just after the last backslash among the first `length` units of
// `text`; 0 when there is none.
uint64_t PathTail(const wchar_t* text, uint64_t length);
