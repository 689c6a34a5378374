// Host implementations of the Windows calls behind host/windows.h and
// host/shellapi.h. The fuzz targets reach only lstrcmpiW,
// CommandLineToArgvW, LocalFree and GetCommandLineW; every other call aborts
// with its name, since a target that reaches one is testing something the
// stand-ins do not model.

#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

[[noreturn]] void NotModelled(const char* name) {
    fprintf(stderr, "host stand-in: %s is not modelled by the fuzz targets\n", name);
    abort();
}

wchar_t FoldAscii(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit + 32) : unit; }

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// What Windows gives as argument 0 for an empty command line: the path of
// the running program (without a blank, so it splits into itself).
const wchar_t PROGRAM_PATH[] = L"C:\\stub.exe";

wchar_t commandLineText[] = L"stub.exe";

// Splits `line`, telling `sink` where each argument begins (Begin), its units
// (Put) and where it ends (End). Run once to measure and once to write, so
// that the result is a single allocation.
template <class Sink>
void Split(const wchar_t* line, Sink& sink) {
    const wchar_t* cursor = line;
    sink.Begin();
    // The program name: inside quotes it runs to the next quote whatever
    // comes between (an unclosed quote takes the rest of the line); unquoted
    // it runs to the first blank. Backslashes mean nothing here.
    if (*cursor == L'"') {
        ++cursor;
        while (*cursor != 0 && *cursor != L'"') {
            sink.Put(*cursor++);
        }
        if (*cursor == L'"') {
            ++cursor;
        }
    } else {
        while (*cursor != 0 && !IsBlank(*cursor)) {
            sink.Put(*cursor++);
        }
    }
    sink.End();

    // Later arguments. Blanks end one outside quotes. 2n backslashes before
    // a quote give n backslashes and the quote toggles quoting; 2n+1 give n
    // backslashes and a literal quote; backslashes before anything else are
    // literal. Inside quotes, "" gives a literal quote and quoting ends (the
    // C run-time since 2008 goes on quoting: the targets model that split
    // themselves).
    for (;;) {
        while (IsBlank(*cursor)) {
            ++cursor;
        }
        if (*cursor == 0) {
            return;
        }
        sink.Begin();
        bool quoted = false;
        while (*cursor != 0 && (quoted || !IsBlank(*cursor))) {
            if (*cursor == L'\\') {
                size_t backslashes = 0;
                while (*cursor == L'\\') {
                    ++backslashes;
                    ++cursor;
                }
                if (*cursor != L'"') {
                    sink.Put(L'\\', backslashes);
                    continue;
                }
                sink.Put(L'\\', backslashes / 2);
                if (backslashes % 2 == 1) {
                    sink.Put(*cursor++);
                    continue;
                }
            }
            if (*cursor == L'"') {
                if (quoted && cursor[1] == L'"') {
                    sink.Put(L'"');
                    cursor += 2;
                    quoted = false;
                } else {
                    quoted = !quoted;
                    ++cursor;
                }
                continue;
            }
            sink.Put(*cursor++);
        }
        sink.End();
    }
}

struct Measure {
    size_t arguments = 0;
    size_t units = 0;
    void Begin() { ++arguments; }
    void Put(wchar_t, size_t count = 1) { units += count; }
    void End() { ++units; }
};

struct Write {
    LPWSTR* vector;
    wchar_t* text;
    size_t next = 0;
    void Begin() { vector[next++] = text; }
    void Put(wchar_t unit, size_t count = 1) {
        for (size_t i = 0; i < count; ++i) {
            *text++ = unit;
        }
    }
    void End() { *text++ = 0; }
};

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
    const wchar_t* line = commandLine == nullptr || *commandLine == 0 ? PROGRAM_PATH : commandLine;
    Measure measure;
    Split(line, measure);

    // Like Windows: one block holding the pointers (with a null one after the
    // last) and then the strings, so that one LocalFree releases everything
    // and a caller that forgets it leaks where LeakSanitizer sees it.
    const size_t pointerBytes = (measure.arguments + 1) * sizeof(LPWSTR);
    char* block = static_cast<char*>(malloc(pointerBytes + measure.units * sizeof(wchar_t)));
    if (block == nullptr) {
        return nullptr;
    }
    Write write{reinterpret_cast<LPWSTR*>(block), reinterpret_cast<wchar_t*>(block + pointerBytes)};
    Split(line, write);
    write.vector[measure.arguments] = nullptr;
    *argumentCount = static_cast<int>(measure.arguments);
    return write.vector;
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
