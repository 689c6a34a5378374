#pragma once

#include <windows.h>

// Loads `fileName` (a plain file name such as "cabinet.dll") from the
// system's own library folder, by full path and never through the search
// order, so that a library of that name planted beside the downloaded
// installer is never picked up. Null when no candidate folder gave a full
// path that the loader accepted; the last error is then the loader's, when
// it was asked at all.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// The function `name` of the system library `fileName`, loaded as above;
// null when either is not found.
FARPROC LoadSystemFunction(const wchar_t* fileName, const char* name);
