#include "installer/installer_file.h"

#include <winternl.h>

#include "handles/scoped_handle.h"
#include "libraries/system_library.h"

namespace {

// The memory manager's own comparison of an image mapping with a data
// mapping: whether both are of one file. The Windows API has no call for it.
using NtAreMappedFilesTheSameFunction = NTSTATUS(NTAPI*)(PVOID, PVOID);

NtAreMappedFilesTheSameFunction LoadNtAreMappedFilesTheSame() {
    return reinterpret_cast<NtAreMappedFilesTheSameFunction>(
        reinterpret_cast<void*>(NtdllFunction("NtAreMappedFilesTheSame")));
}

// GetFinalPathNameByHandleW puts "\\?\" before a drive and "\\?\UNC\" before a
// share. Dropping the prefix leaves at most 259 units from a result of
// 259 + 4 units (a drive) or 259 + 6 (a share, whose "UNC\" gives way to a
// second backslash); anything longer cannot fit a PathBuffer either way.
constexpr uint64_t FINAL_PATH_UNITS = MAX_PATH_UNITS + 6;

// Four units read as one number, in the order they lie in memory.
uint64_t FourUnits(const wchar_t* text) {
    uint64_t units;
    __builtin_memcpy(&units, text, sizeof(units));
    return units;
}

constexpr uint64_t AsFourUnits(wchar_t a, wchar_t b, wchar_t c, wchar_t d) {
    return uint64_t{a} | uint64_t{b} << 16 | uint64_t{c} << 32 | uint64_t{d} << 48;
}

// Without its prefix a path is read by the Win32 rules, and they rewrite
// some names: a dot or a blank at the end of a name goes, and a device's name
// such as "nul" stands for the device. Through the prefix a same-user process
// can make a folder "a." for the genuine installer and put its own copy in
// "a"; the setup program, told the shortened path, would read that copy. So
// the prefix goes only where the rules give back the very same path.
bool ReadsTheSameWithoutThePrefix(const wchar_t* shortened) {
    wchar_t full[FINAL_PATH_UNITS + 1];
    const DWORD length = GetFullPathNameW(shortened, FINAL_PATH_UNITS + 1, full, nullptr);
    if (length == 0 || length > FINAL_PATH_UNITS) {
        return false;
    }
    // The terminators are compared too, so neither text is read past its end.
    for (DWORD index = 0; index <= length; ++index) {
        if (full[index] != shortened[index]) {
            return false;
        }
    }
    return true;
}

}  // namespace

// Generic read, as a read-only mapping of the file documents it needs. The
// name's own entry is what is opened and held: were a link standing there
// followed, only what it leads to would be held, and the link itself could be
// replaced while the setup program reads the installer by that name. A link
// is not the file the process runs from, so such a run ends at the check.
HANDLE HoldInstallerFile(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

bool IsRunningImage(HANDLE file, HMODULE image) {
    const NtAreMappedFilesTheSameFunction areTheSame = LoadNtAreMappedFilesTheSame();
    if (areTheSame == nullptr) {
        return false;
    }
    // A failed mapping is null, which an owner would take for a handle to
    // close: checked before one takes it.
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

RunOutcome InstallerFinalPath(HANDLE file, PathBuffer& path) {
    wchar_t found[FINAL_PATH_UNITS + 1];
    const DWORD length =
        GetFinalPathNameByHandleW(file, found, FINAL_PATH_UNITS + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
        return {EXIT_INSTALLER_FILE_FAILED, GetLastError()};
    }
    // A result that does not fit comes back as the size it needs.
    if (length > FINAL_PATH_UNITS) {
        return {EXIT_PATH_TOO_LONG, 0};
    }
    // The prefix goes where what is left is a drive path or a share path,
    // which every program reads; any other form keeps it, since without it
    // the path would mean something else.
    uint64_t skip = 0;
    if (FourUnits(found) == AsFourUnits(L'\\', L'\\', L'?', L'\\')) {
        if (found[5] == L':' && found[6] == L'\\') {
            skip = 4;
        } else if (FourUnits(found + 4) == AsFourUnits(L'U', L'N', L'C', L'\\')) {
            // "\\?\UNC\server" becomes "\\server".
            found[6] = L'\\';
            skip = 6;
        }
    }
    if (skip != 0 && !ReadsTheSameWithoutThePrefix(found + skip)) {
        // Kept whole, the path names exactly the file that is held.
        if (skip == 6) {
            found[6] = L'C';
        }
        skip = 0;
    }
    return path.Copy(found + skip) ? RunOutcome{EXIT_OK, 0} : RunOutcome{EXIT_PATH_TOO_LONG, 0};
}
