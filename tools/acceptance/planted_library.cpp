// A library to plant beside the installer under the name of one the stub or
// the system might look for (cabinet.dll, version.dll). Loading it leaves a
// marker file beside it, "<its own path>.loaded", which the kit looks for.
#include <windows.h>

extern "C" BOOL WINAPI PlantedLibraryEntry(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        static wchar_t marker[1100];
        const DWORD length = GetModuleFileNameW(instance, marker, 1024);
        if (length > 0 && length < 1024) {
            const wchar_t SUFFIX[] = L".loaded";
            for (DWORD i = 0; i < sizeof(SUFFIX) / sizeof(wchar_t); ++i) marker[length + i] = SUFFIX[i];
            HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    }
    return TRUE;
}
