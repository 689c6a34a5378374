#pragma once

#include <windows.h>
#include <stdint.h>

#include "entry/run_outcome.h"
#include "text/bounded_text.h"

// Creates a randomly named scratch directory "QX_XXXXX.tmp" inside `parent`
// (a directory path ending with a backslash). True exactly when the outcome is
// EXIT_OK; the buffer then holds the new directory's path with a trailing
// backslash. On false the outcome is 108, 117 or 109 and nothing was created.
bool MakeWorkDirectory(const wchar_t* parent, PathBuffer& workDirectory, RunOutcome& outcome);

// Builds the protected descriptor for a directory on the volume of `path`.
// True with a null descriptor when the volume keeps no ACLs (or cannot be
// asked); true with a descriptor (LocalFree it) when built; false with the
// last error of the failing call otherwise.
bool BuildWorkDirSecurity(const wchar_t* path, PSECURITY_DESCRIPTOR& descriptor);

// The string form of the process token's owner SID (TokenOwner, the default
// owner of what the process creates), allocated by the system: LocalFree it.
bool TokenOwnerSidText(wchar_t*& sidText);

// Writes 2 * count uppercase hex digits and a NUL. False, writing nothing,
// unless capacity exceeds 2 * count.
bool BytesToHexUpper(const uint8_t* bytes, uint64_t count, wchar_t* output, uint64_t capacity);
