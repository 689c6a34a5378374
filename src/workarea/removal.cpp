#include "workarea/removal.h"

#include <windows.h>

namespace {

// Backup semantics open a directory as well as a file; the reparse-point flag
// opens a symbolic link or junction itself, so the link goes and its target
// is never touched.
constexpr DWORD OPEN_FLAGS = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Repeats that follow a step that did succeed (a disposition set, a read-only
// bit cleared) are not counted as attempts, but a system that keeps reporting
// success while the object stays must not keep us here for ever.
constexpr int32_t UNCOUNTED_REPEAT_LIMIT = REMOVE_ATTEMPT_LIMIT;

enum class Step { Removed, Repeat, Retry, GiveUp };

Step Classify(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return Step::Removed;
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_SHARING_VIOLATION:
        return Step::Retry;
    default:
        return Step::GiveUp;
    }
}

// A read-only object refuses the delete disposition with access denied.
// Clears the bit and asks for an immediate repeat; anything else is a
// counted retry (the refusal may be a scanner holding the file).
Step ClearReadOnly(const wchar_t* path) {
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL, nullptr,
                                OPEN_EXISTING, OPEN_FLAGS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Step::Retry;
    }
    FILE_BASIC_INFO info = {};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)) ||
        (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        CloseHandle(handle);
        return Step::Retry;
    }
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // Attributes of 0 mean "leave them as they are": a file whose only
    // attribute was read-only would stay read-only. NORMAL is the way to say
    // "no attributes".
    if (info.FileAttributes == 0) {
        info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    const BOOL written = SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info));
    CloseHandle(handle);
    return written ? Step::Repeat : Step::Retry;
}

// One try: open the object itself and mark it for deletion. The deletion
// takes place when the last handle to it closes.
Step TryDelete(const wchar_t* path) {
    HANDLE handle =
        CreateFileW(path, DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
    DWORD error = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, 1)) {
            CloseHandle(handle);
            // Open again to learn whether the name is gone.
            return Step::Repeat;
        }
        error = GetLastError();
        CloseHandle(handle);
    } else {
        error = GetLastError();
    }
    if (error == ERROR_ACCESS_DENIED) {
        return ClearReadOnly(path);
    }
    return Classify(error);
}

}  // namespace

bool RemoveWithRetries(const wchar_t* path) {
    int32_t attempt = 1;
    int32_t uncountedRepeats = 0;
    for (;;) {
        switch (TryDelete(path)) {
        case Step::Removed:
            return true;
        case Step::GiveUp:
            return false;
        case Step::Repeat:
            if (++uncountedRepeats <= UNCOUNTED_REPEAT_LIMIT) {
                continue;
            }
            [[fallthrough]];
        case Step::Retry:
            if (attempt == REMOVE_ATTEMPT_LIMIT) {
                return false;
            }
            ++attempt;
            Sleep(REMOVE_RETRY_DELAY_MS);
            break;
        }
    }
}
