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
//
// With INTRUDER_FILE instead, it goes for a file (the installer, while a run
// holds it) and for reading it as a setup program would:
//   1  the file was renamed (to the same path plus "-moved", then back)
//   2  the file was opened for deletion
//  16  the file was opened for writing
//  32  its first two bytes were read ("MZ") through an open that shares
//      reading only, as a careful reader opens it
//  64  it was loaded as a data file and its archive resource found
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

static UINT GoForFile(void) {
    UINT result = 0;
    Join(moved, target, L"-moved");
    if (MoveFileExW(target, moved, 0)) {
        result |= 1;
        MoveFileExW(moved, target, 0);
    }
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(target, DELETE, all, NULL, OPEN_EXISTING, 0, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        result |= 2;
        CloseHandle(handle);
    }
    handle = CreateFileW(target, GENERIC_WRITE, all, NULL, OPEN_EXISTING, 0, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        result |= 16;
        CloseHandle(handle);
    }
    handle = CreateFileW(target, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        char bytes[2] = {0, 0};
        DWORD read = 0;
        if (ReadFile(handle, bytes, 2, &read, NULL) && read == 2 && bytes[0] == 'M' && bytes[1] == 'Z') {
            result |= 32;
        }
        CloseHandle(handle);
    }
    HMODULE data = LoadLibraryExW(target, NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (data != NULL) {
        if (FindResourceW(data, L"BRISEL.PACKED.7Z", L"B7") != NULL) {
            result |= 64;
        }
        FreeLibrary(data);
    }
    return result;
}

void IntruderEntry(void) {
    if (GetEnvironmentVariableW(L"INTRUDER_FILE", target, 512) - 1 < 511) {
        ExitProcess(GoForFile());
    }
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
