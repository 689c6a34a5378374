#pragma once

#include "acceptance/facts.h"

namespace kit {

// Asks the platform itself, in `folder`, whether it behaves as Windows does
// in each respect a check relies on; one "platform.<probe>" fact each, whose
// value is the word a check wants ("stored", "checked", "link-only",
// "enforced", "refused", "loaded") or says what the platform did instead.
void ProbePlatform(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram, const wchar_t* plantedLibrary);

}  // namespace kit
