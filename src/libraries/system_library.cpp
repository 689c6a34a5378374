#include "libraries/system_library.h"

#include "text/bounded_text.h"

namespace {

// Where the system's libraries are, most trusted first: the variables name
// the Windows folder of this installation, and the fixed folder is the last
// resort when neither is set.
const wchar_t* const SYSTEM_FOLDERS[] = {
    L"%WINDIR%\\system32\\",
    L"%SYSTEMROOT%\\system32\\",
    L"C:\\Windows\\system32\\",
};

// Only a fully qualified name goes to the loader: a drive with its root, or a
// UNC path. An undefined variable stays "%WINDIR%" in the expansion, and a
// relative name (or one relative to a drive's current folder, "C:name")
// would be looked for beside the installer, where a planted library may be
// waiting.
bool IsFullyQualified(const wchar_t* name) {
    return (name[1] == L':' && name[2] == L'\\') || (name[0] == L'\\' && name[1] == L'\\');
}

}  // namespace

FARPROC LoadSystemFunction(const wchar_t* fileName, const char* name) {
    const HMODULE module = LoadSystemLibrary(fileName);
    return module != nullptr ? GetProcAddress(module, name) : nullptr;
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    for (const wchar_t* folder : SYSTEM_FOLDERS) {
        PathBuffer name;
        // The count includes the terminator; more than the buffer holds
        // means the folder was cut.
        const DWORD count = ExpandEnvironmentStringsW(folder, name.Text(), static_cast<DWORD>(name.capacity));
        if (count == 0 || count > name.capacity || !IsFullyQualified(name.Text()) || !name.Append(fileName)) {
            continue;
        }
        // The library's own dependencies are then looked for beside it, in
        // the system folder, not beside the installer.
        const HMODULE module = LoadLibraryExW(name.Text(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (module != nullptr) {
            return module;
        }
    }
    return nullptr;
}
