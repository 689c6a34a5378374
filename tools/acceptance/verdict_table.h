#pragma once

// The table of verdicts: every check judged from the facts, one line each,
// then the count. A NOT-SHOWN row counts against the run unless its check is
// one the caller allowed not to be shown ("--allow-not-shown"): a platform
// that shows nothing must not pass by saying so.
#include "acceptance/facts.h"

namespace kit {

// True when every comma-separated name in `list` (blanks around a name
// ignored) is a check's; otherwise false with the first other name in
// `unknown`.
bool NamesOnlyChecks(const wchar_t* list, Text<100>& unknown);

// Prints the table to `out`; true when no check failed and every NOT-SHOWN
// check is in `allowedNotShown` (as for NamesOnlyChecks; null allows none).
bool PrintVerdicts(const Facts& facts, const wchar_t* allowedNotShown, HANDLE out);

}  // namespace kit
