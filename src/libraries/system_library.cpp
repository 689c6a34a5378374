#include "libraries/system_library.h"

FARPROC NtdllFunction(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    return LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
