#pragma once

#include <windows.h>
#include <stdint.h>

#include "outcome/run_outcome.h"
#include "text/bounded_text.h"

// Creates a randomly named scratch directory "QX_XXXXX.tmp" inside `parent`
// (a directory path ending with a backslash: the installer's folder, by its
// final path) and opens it in the same call, held without delete sharing, so
// that it can be neither renamed nor deleted nor replaced, from its creation
// until `held` is closed. It always gets the protected descriptor; where the
// parent's volume keeps no ACLs, which would ignore it, the directory is made
// in the Windows folder's Temp folder instead. True exactly when the outcome
// is EXIT_OK; the buffer then holds the new directory's path with a trailing
// backslash, and `held` is the caller's to close once nothing in the
// directory is used by name any more. On false the outcome is 108, 117 or
// 109, nothing was created and `held` is INVALID_HANDLE_VALUE.
bool MakeWorkDirectory(const wchar_t* parent, PathBuffer& workDirectory, HANDLE& held, RunOutcome& outcome);

// Builds the protected descriptor for the scratch directory: true with it
// (LocalFree it), false with the last error of the failing call.
bool BuildWorkDirSecurity(PSECURITY_DESCRIPTOR& descriptor);

// The string form of the process token's owner SID (TokenOwner, the default
// owner of what the process creates), allocated by the system: LocalFree it.
bool TokenOwnerSidText(wchar_t*& sidText);

// Writes 2 * count uppercase hex digits and a NUL. False, writing nothing,
// unless capacity exceeds 2 * count.
bool BytesToHexUpper(const uint8_t* bytes, uint64_t count, wchar_t* output, uint64_t capacity);
