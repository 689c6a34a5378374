#include "acceptance/work_folder.h"

namespace kit {

Path::Path(const wchar_t* folder, const wchar_t* name, const wchar_t* more) {
    Clear();
    Add(folder);
    const wchar_t* const parts[] = {name, more};
    for (const wchar_t* part : parts) {
        if (part == nullptr) continue;
        if (length > 0 && units[length - 1] != L'\\') Add(L"\\");
        Add(part);
    }
}

bool WriteSmallFile(const wchar_t* path, const char* content) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD length = 0;
    while (content[length] != 0) ++length;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, content, length, &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return wrote && written == length;
}

bool FileHolds(const wchar_t* path, const char* content) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char bytes[64];
    DWORD read = 0;
    const BOOL done = ReadFile(file, bytes, sizeof(bytes), &read, nullptr);
    CloseHandle(file);
    DWORD length = 0;
    while (content[length] != 0) ++length;
    if (!done || read != length) return false;
    for (DWORD i = 0; i < length; ++i) {
        if (bytes[i] != content[i]) return false;
    }
    return true;
}

[[gnu::noinline]] bool SameFile(const wchar_t* first, const wchar_t* second) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE a = CreateFileW(first, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE b = CreateFileW(second, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool same = a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE;
    static char left[4096];
    static char right[4096];
    while (same) {
        DWORD readLeft = 0;
        DWORD readRight = 0;
        same = ReadFile(a, left, sizeof(left), &readLeft, nullptr) && ReadFile(b, right, sizeof(right), &readRight, nullptr) &&
               readLeft == readRight;
        for (DWORD i = 0; same && i < readLeft; ++i) same = left[i] == right[i];
        if (readLeft == 0) break;
    }
    if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
    if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
    return same;
}

namespace {

void RemoveLiteralTree(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path);
        return;
    }
    // A junction or directory link goes as it is: its target is not ours.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        Path pattern(path, L"*");
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(pattern.Get(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (Equal(found.cFileName, L".") || Equal(found.cFileName, L"..")) continue;
                Path child(path, found.cFileName);
                RemoveLiteralTree(child.Get());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    RemoveDirectoryW(path);
}

}  // namespace

void LiteralPath(const wchar_t* path, Text<PATH_UNITS>& out) {
    out.Clear();
    if (StartsWith(path, L"\\\\?\\")) {
        out.Add(path);
    } else if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') {
        out.Add(L"\\\\?\\");
        out.Add(path);
    } else if (StartsWith(path, L"\\\\")) {
        out.Add(L"\\\\?\\UNC\\");
        out.Add(path + 2);
    } else {
        out.Add(path);
    }
}

// Through the literal form, so that a folder whose name ends in a dot or a
// blank ("a.", which the folder-ending-in-a-dot check makes) is removed
// itself, not the folder the Win32 rules would read its name as.
[[gnu::noinline]] void RemoveTree(const wchar_t* path) {
    static Text<PATH_UNITS> literal;
    LiteralPath(path, literal);
    RemoveLiteralTree(literal.Get());
}

[[gnu::noinline]] void ListOthers(const wchar_t* folder, const wchar_t* const* keep, int keepCount, Text<2000>& names) {
    names.Clear();
    Path pattern(folder, L"*");
    WIN32_FIND_DATAW found;
    // A listing that fails must not read as an empty folder: "nothing left"
    // would then pass without anything seen.
    HANDLE search = FindFirstFileW(pattern.Get(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        names.Add(L"(the folder could not be listed: error ");
        names.AddHex(GetLastError());
        names.Add(L")");
        return;
    }
    do {
        if (Equal(found.cFileName, L".") || Equal(found.cFileName, L"..")) continue;
        bool kept = false;
        for (int i = 0; i < keepCount; ++i) kept = kept || Equal(found.cFileName, keep[i]);
        if (kept) continue;
        if (names.length > 0) names.Add(L", ");
        names.Add(found.cFileName);
    } while (FindNextFileW(search, &found));
    const DWORD ended = GetLastError();
    FindClose(search);
    if (ended != ERROR_NO_MORE_FILES) {
        if (names.length > 0) names.Add(L", ");
        names.Add(L"(the listing broke off: error ");
        names.AddHex(ended);
        names.Add(L")");
    }
}

[[gnu::noinline]] DWORD WholeFinalPathOf(const wchar_t* path, Text<PATH_UNITS>& out) {
    out.Clear();
    HANDLE handle = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    static wchar_t found[PATH_UNITS + 1];
    const DWORD length =
        GetFinalPathNameByHandleW(handle, found, PATH_UNITS + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const DWORD error = length == 0 ? GetLastError() : length > PATH_UNITS ? ERROR_BUFFER_OVERFLOW : 0;
    CloseHandle(handle);
    if (error == 0) out.Add(found);
    return error;
}

[[gnu::noinline]] void FinalPathOf(const wchar_t* path, Text<PATH_UNITS>& out) {
    static Text<PATH_UNITS> whole;
    const wchar_t* found = whole.Get();
    if (WholeFinalPathOf(path, whole) != 0) {
        out.Clear();
        out.Add(path);
        return;
    }
    out.Clear();
    if (StartsWith(found, L"\\\\?\\UNC\\")) {
        out.Add(L"\\\\");
        out.Add(found + 8);
    } else if (StartsWith(found, L"\\\\?\\") && found[5] == L':' && found[6] == L'\\') {
        out.Add(found + 4);
    } else {
        out.Add(found);
    }
}

[[gnu::noinline]] void RunProgram(const wchar_t* program, wchar_t* command, const wchar_t* directory, DWORD timeoutMs, RunResult& result,
                                  void (*beforeItRuns)(const wchar_t* program)) {
    result = {false, 0, 0, false};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, command, nullptr, nullptr, FALSE, beforeItRuns != nullptr ? CREATE_SUSPENDED : 0,
                        nullptr, directory, &startup, &process)) {
        result.error = GetLastError();
        return;
    }
    result.started = true;
    if (beforeItRuns != nullptr) {
        beforeItRuns(program);
        ResumeThread(process.hThread);
    }
    CloseHandle(process.hThread);
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        result.timedOut = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
}

}  // namespace kit
