// Host implementations of the Windows calls behind host/windows.h and
// host/shellapi.h. The fuzz targets reach only lstrcmpiW,
// CommandLineToArgvW, LocalFree and GetCommandLineW; every other call aborts
// with its name, since a target that reaches one is testing something the
// stand-ins do not model.

#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

[[noreturn]] void NotModelled(const char* name) {
    fprintf(stderr, "host stand-in: %s is not modelled by the fuzz targets\n", name);
    abort();
}

wchar_t FoldAscii(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit + 32) : unit; }

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// What Windows gives as argument 0 for an empty command line: the path of
// the running program.
const wchar_t PROGRAM_PATH[] = L"C:\\stub.exe";

wchar_t commandLineText[] = L"stub.exe";

using Argument = std::vector<wchar_t>;

// The program name: inside quotes it runs to the next quote whatever comes
// between (an unclosed quote takes the rest of the line); unquoted it runs to
// the first blank. Backslashes mean nothing here.
const wchar_t* SplitProgramName(const wchar_t* cursor, Argument& name) {
    if (*cursor == L'"') {
        ++cursor;
        while (*cursor != 0 && *cursor != L'"') {
            name.push_back(*cursor++);
        }
        if (*cursor == L'"') {
            ++cursor;
        }
        return cursor;
    }
    while (*cursor != 0 && !IsBlank(*cursor)) {
        name.push_back(*cursor++);
    }
    return cursor;
}

// One later argument. Blanks end it outside quotes. 2n backslashes before a
// quote give n backslashes and the quote toggles quoting; 2n+1 give n
// backslashes and a literal quote; backslashes before anything else are
// literal. Inside quotes, "" gives a literal quote and quoting goes on.
const wchar_t* SplitArgument(const wchar_t* cursor, Argument& argument) {
    bool quoted = false;
    while (*cursor != 0 && (quoted || !IsBlank(*cursor))) {
        if (*cursor == L'\\') {
            size_t backslashes = 0;
            while (*cursor == L'\\') {
                ++backslashes;
                ++cursor;
            }
            if (*cursor != L'"') {
                argument.insert(argument.end(), backslashes, L'\\');
                continue;
            }
            argument.insert(argument.end(), backslashes / 2, L'\\');
            if (backslashes % 2 == 1) {
                argument.push_back(L'"');
                ++cursor;
                continue;
            }
        }
        if (*cursor == L'"') {
            if (quoted && cursor[1] == L'"') {
                argument.push_back(L'"');
                cursor += 2;
            } else {
                quoted = !quoted;
                ++cursor;
            }
            continue;
        }
        argument.push_back(*cursor++);
    }
    return cursor;
}

}  // namespace

int WINAPI lstrcmpiW(LPCWSTR first, LPCWSTR second) {
    // ASCII case folding only: enough to compare against the ASCII switch
    // names; Windows compares linguistically (see README.md).
    for (size_t i = 0;; ++i) {
        const wchar_t a = FoldAscii(first[i]);
        const wchar_t b = FoldAscii(second[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            return 0;
        }
    }
}

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR commandLine, int* argumentCount) {
    if (argumentCount == nullptr) {
        return nullptr;
    }
    std::vector<Argument> arguments;
    if (commandLine == nullptr || *commandLine == 0) {
        arguments.emplace_back(PROGRAM_PATH, PROGRAM_PATH + sizeof(PROGRAM_PATH) / sizeof(wchar_t) - 1);
    } else {
        const wchar_t* cursor = SplitProgramName(commandLine, arguments.emplace_back());
        for (;;) {
            while (IsBlank(*cursor)) {
                ++cursor;
            }
            if (*cursor == 0) {
                break;
            }
            cursor = SplitArgument(cursor, arguments.emplace_back());
        }
    }

    // Like Windows: one block holding the pointers (with a null one after the
    // last) and then the strings, so that one LocalFree releases everything
    // and a caller that forgets it leaks where LeakSanitizer sees it.
    size_t units = 0;
    for (const Argument& argument : arguments) {
        units += argument.size() + 1;
    }
    const size_t pointerBytes = (arguments.size() + 1) * sizeof(LPWSTR);
    char* block = static_cast<char*>(malloc(pointerBytes + units * sizeof(wchar_t)));
    if (block == nullptr) {
        return nullptr;
    }
    LPWSTR* vector = reinterpret_cast<LPWSTR*>(block);
    wchar_t* text = reinterpret_cast<wchar_t*>(block + pointerBytes);
    for (size_t i = 0; i < arguments.size(); ++i) {
        vector[i] = text;
        if (!arguments[i].empty()) {
            memcpy(text, arguments[i].data(), arguments[i].size() * sizeof(wchar_t));
        }
        text += arguments[i].size();
        *text++ = 0;
    }
    vector[arguments.size()] = nullptr;
    *argumentCount = static_cast<int>(arguments.size());
    return vector;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}

LPWSTR WINAPI GetCommandLineW() { return commandLineText; }

DWORD WINAPI GetLastError() { return 0; }

LSTATUS WINAPI RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { NotModelled("RegOpenKeyExW"); }
LSTATUS WINAPI RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { NotModelled("RegQueryValueExW"); }
LSTATUS WINAPI RegCloseKey(HKEY) { NotModelled("RegCloseKey"); }
BOOL WINAPI CreateProcessW(LPCWSTR, LPWSTR, void*, void*, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                           LPPROCESS_INFORMATION) {
    NotModelled("CreateProcessW");
}
DWORD WINAPI GetFileAttributesW(LPCWSTR) { NotModelled("GetFileAttributesW"); }
BOOL WINAPI CloseHandle(HANDLE) { NotModelled("CloseHandle"); }
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) { NotModelled("WaitForSingleObject"); }
BOOL WINAPI GetExitCodeProcess(HANDLE, LPDWORD) { NotModelled("GetExitCodeProcess"); }
DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR, DWORD) { NotModelled("GetModuleFileNameW"); }
