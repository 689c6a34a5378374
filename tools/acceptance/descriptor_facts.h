#pragma once

#include "acceptance/facts.h"

namespace kit {

// The stored descriptor of a file or directory as facts under `prefix`:
// "control" (the descriptor's control bits), "aces" (their number) and
// "ace.1" ... as "<type> <flags> <mask> <SID>", hexadecimal numbers and the
// SID in its S-1-... form; "error" when the descriptor cannot be read.
void AddDescriptorFacts(Facts& facts, const wchar_t* prefix, const wchar_t* path);

// The S-1-... form of the process token's owner (TokenOwner) into `text`.
bool TokenOwnerText(Text<200>& text);

// Makes the folder `path` with the descriptor `rights` (SDDL ending with a
// last entry's "...;;;") completed by the token owner, whose SID `owner`
// gets. 0 when made; else the error, and `step` says which step failed.
DWORD MakeFolderForOwner(const wchar_t* path, const wchar_t* rights, Text<200>& owner, const wchar_t*& step);

}  // namespace kit
