#include "workarea/removal.h"

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

// The object to remove: its path, and the caller's handle to it while that
// is still open (INVALID_HANDLE_VALUE once closed, or when there is none).
// A held handle is used in place of every open by name, so that nothing can
// be put in the object's place before its delete disposition is set.
struct Target {
    const wchar_t* path;
    HANDLE held;
};

HANDLE Open(const Target& target, DWORD access) {
    if (target.held != INVALID_HANDLE_VALUE) {
        return target.held;
    }
    return CreateFileW(target.path, access, SHARE_ALL, nullptr, OPEN_EXISTING, OPEN_FLAGS, nullptr);
}

void Close(const Target& target, HANDLE handle) {
    if (handle != target.held) {
        CloseHandle(handle);
    }
}

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
Step ClearReadOnly(const Target& target) {
    HANDLE handle = Open(target, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) {
        return Step::Retry;
    }
    FILE_BASIC_INFO info = {};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)) ||
        (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        Close(target, handle);
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
    Close(target, handle);
    return written ? Step::Repeat : Step::Retry;
}

// One try: open the object itself and mark it for deletion. The deletion
// takes place when the last handle to it closes, so a held handle is closed
// here once the disposition is set.
Step TryDelete(Target& target) {
    HANDLE handle = Open(target, DELETE);
    DWORD error = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, 1)) {
            CloseHandle(handle);
            target.held = INVALID_HANDLE_VALUE;
            // Open again to learn whether the name is gone.
            return Step::Repeat;
        }
        error = GetLastError();
        Close(target, handle);
    } else {
        error = GetLastError();
    }
    if (error == ERROR_ACCESS_DENIED) {
        return ClearReadOnly(target);
    }
    return Classify(error);
}

bool Remove(Target target) {
    int32_t attempt = 1;
    int32_t uncountedRepeats = 0;
    bool removed = false;
    for (;;) {
        const Step step = TryDelete(target);
        if (step == Step::Removed || step == Step::GiveUp) {
            removed = step == Step::Removed;
            break;
        }
        if (step == Step::Repeat && ++uncountedRepeats <= UNCOUNTED_REPEAT_LIMIT) {
            continue;
        }
        if (attempt == REMOVE_ATTEMPT_LIMIT) {
            break;
        }
        ++attempt;
        Sleep(REMOVE_RETRY_DELAY_MS);
    }
    if (target.held != INVALID_HANDLE_VALUE) {
        CloseHandle(target.held);
    }
    return removed;
}

}  // namespace

bool RemoveWithRetries(const wchar_t* path) {
    return Remove({path, INVALID_HANDLE_VALUE});
}

bool RemoveHeldWithRetries(HANDLE held, const wchar_t* path) {
    return Remove({path, held});
}
