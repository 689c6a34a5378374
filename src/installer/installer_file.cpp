#include "installer/installer_file.h"

#include "handles/scoped_handle.h"
#include "libraries/system_library.h"

namespace {

// The memory manager's own comparison of an image mapping with a data
// mapping: whether both are of one file. The Windows API has no call for it.
// Taken from the system's ntdll.dll by full path, as the cabinet library is.
using NtAreMappedFilesTheSameFunction = LONG(NTAPI*)(PVOID, PVOID);

NtAreMappedFilesTheSameFunction LoadNtAreMappedFilesTheSame() {
    const HMODULE ntdll = LoadSystemLibrary(L"ntdll.dll");
    if (ntdll == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<NtAreMappedFilesTheSameFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtAreMappedFilesTheSame")));
}

}  // namespace

HANDLE HoldInstallerFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool IsRunningImage(HANDLE file, HMODULE image) {
    const NtAreMappedFilesTheSameFunction areTheSame = LoadNtAreMappedFilesTheSame();
    if (areTheSame == nullptr) {
        return false;
    }
    // Creating a mapping returns null, not INVALID_HANDLE_VALUE, on failure.
    const HANDLE created = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (created == nullptr) {
        return false;
    }
    const ScopedHandle mapping(created);
    // A view of one byte is enough: it is the view that names its file, and
    // since nothing in it is touched, nothing of the file is read.
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 1);
    if (view == nullptr) {
        return false;
    }
    const bool same = areTheSame(image, view) == 0;
    UnmapViewOfFile(view);
    return same;
}
