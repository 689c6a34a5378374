#pragma once

#include <windows.h>

#include "outcome/run_outcome.h"
#include "text/bounded_text.h"

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

// The path of the file held by `file`, from the file system itself: every
// link on the way resolved and every name long, so that each folder on it is
// a real folder, which cannot be renamed while this file is open in it. The
// name the installer was started by may lead elsewhere at any moment (a
// junction in a folder the user may write, retargeted), so once the file is
// held, everything that names the installer or its folder uses this path.
// "\\?\" is dropped where a drive or share path remains. {0, 0} with the
// path filled; {108, 0} when it does not fit a PathBuffer; {119, error} when
// the system gave none.
RunOutcome InstallerFinalPath(HANDLE file, PathBuffer& path);
