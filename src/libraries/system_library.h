#pragma once

#include <windows.h>

// Loads `fileName` (a plain file name such as "cabinet.dll") from the
// system's own library folder, and its dependencies from there too, through
// the loader's search of that folder alone: never beside the downloaded
// installer, where a library of that name may be planted, and never from a
// folder that an environment variable names, since an elevated run takes its
// environment from the user who asked for it. Null with the loader's error
// when it is not there.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// The function `name` of ntdll.dll, which the loader maps into every process
// before anything else, so that nothing is looked for: null when the module
// or the function is not found.
FARPROC NtdllFunction(const char* name);
