// Another process that goes for a scratch directory while a run holds it:
// the directory's path (without trailing backslash) comes in the variable
// INTRUDER_TARGET. It tries what anyone who may delete entries of the
// parent folder could do, and its exit code says what worked, one bit each:
//   1  the directory was renamed (to the same path plus "-moved")
//   2  the directory was opened for deletion (what deleting it needs)
//   4  a file inside it was written, renamed and removed again
//   8  it became this process's current directory (as a setup program may
//      make its own folder), which opens it without delete sharing
// 0x100 when the variable was missing.
#include <windows.h>

static wchar_t target[600];
static wchar_t moved[620];
static wchar_t inside[620];
static wchar_t insideRenamed[620];

static void Join(wchar_t* out, const wchar_t* text, const wchar_t* tail) {
    while (*text != 0) *out++ = *text++;
    while (*tail != 0) *out++ = *tail++;
    *out = 0;
}

void IntruderEntry(void) {
    const DWORD length = GetEnvironmentVariableW(L"INTRUDER_TARGET", target, 512);
    if (length == 0 || length >= 512) {
        ExitProcess(0x100);
    }
    UINT result = 0;
    Join(moved, target, L"-moved");
    if (MoveFileExW(target, moved, 0)) {
        result |= 1;
        MoveFileExW(moved, target, 0);
    }
    HANDLE handle = CreateFileW(target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        result |= 2;
        CloseHandle(handle);
    }
    Join(inside, target, L"\\intruder.txt");
    Join(insideRenamed, target, L"\\intruder.tmp");
    handle = CreateFileW(inside, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        if (MoveFileExW(inside, insideRenamed, 0) && DeleteFileW(insideRenamed)) {
            result |= 4;
        }
        DeleteFileW(inside);
    }
    if (SetCurrentDirectoryW(target)) {
        result |= 8;
        SetCurrentDirectoryW(L"C:\\");
    }
    ExitProcess(result);
}
