#pragma once

#include <windows.h>

// Opens the installer's own file at `path` for the whole run: for reading,
// sharing reading only, so that nobody can write it, rename it away or put
// another file at its name while the setup program reads the archive from
// it, and every reader (the setup program, other copies of this installer
// started at once, the loader) still can. The handle, or INVALID_HANDLE_VALUE
// with the open's error as the last error.
HANDLE HoldInstallerFile(const wchar_t* path);

// True exactly when the file held by `file` is the one the loader mapped as
// `image`, the running installer itself. The path was read after the process
// started, so what the hold opened by it may already be another file: someone
// who can write the folder renamed the installer away and put a file of their
// own at its name in that instant. Only the memory manager can tell; names and
// contents cannot, since a copy with another archive may carry every byte of
// ours but that one. False too when the answer could not be had.
bool IsRunningImage(HANDLE file, HMODULE image);
