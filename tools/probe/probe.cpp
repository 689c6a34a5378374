// A stand-in second stage for the tests. It records what it was started with
// and ends with the exit code the test asks for, both through environment
// variables that it inherits from the stub:
//   PROBE_OUT   file to write: the command line exactly as received, a NUL,
//               the current directory, a NUL, and QueryPerformanceCounter at
//               start in decimal (UTF-16LE)
//   PROBE_EXIT  exit code, decimal or 0x-hexadecimal (default 0)
//   PROBE_RACE  a file to go for as a racing process would while the stub
//               waits (the installer): the record gets a NUL and a fourth
//               field, "rename=E write=E read=E" in decimal, E the error of
//               renaming it (put back if it worked), opening it for writing,
//               and reading its first two bytes ("MZ") through an open that
//               shares reading only; 0 where the step worked
#include <windows.h>

#include "common/tool_support.h"

namespace {

wchar_t outputPath[1024];
wchar_t exitText[64];
wchar_t directory[1024];
wchar_t raced[1024];
wchar_t racedAway[1040];

void WriteUnits(HANDLE file, const wchar_t* text, DWORD units) {
    DWORD written = 0;
    WriteFile(file, text, units * sizeof(wchar_t), &written, nullptr);
}

void WriteNumber(HANDLE file, const wchar_t* label, uint64_t value) {
    WriteUnits(file, label, static_cast<DWORD>(lstrlenW(label)));
    char digits[21];
    tool::FormatDecimal64(value, digits);
    for (int i = 0; digits[i] != 0; ++i) {
        const wchar_t unit = static_cast<wchar_t>(digits[i]);
        WriteUnits(file, &unit, 1);
    }
}

DWORD RenameError() {
    int length = 0;
    for (; raced[length] != 0; ++length) racedAway[length] = raced[length];
    const wchar_t suffix[] = L".moved";
    for (int i = 0; i < 7; ++i) racedAway[length + i] = suffix[i];
    if (!MoveFileExW(raced, racedAway, 0)) return GetLastError();
    MoveFileExW(racedAway, raced, 0);
    return 0;
}

DWORD WriteOpenError() {
    HANDLE file = CreateFileW(raced, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

void Race(HANDLE file) {
    const wchar_t nul = 0;
    WriteUnits(file, &nul, 1);
    WriteNumber(file, L"rename=", RenameError());
    WriteNumber(file, L" write=", WriteOpenError());
    WriteNumber(file, L" read=", tool::ReadProgramStartError(raced));
}

}  // namespace

extern "C" [[noreturn]] void ProbeEntry() {
    LARGE_INTEGER start = {};
    QueryPerformanceCounter(&start);
    const wchar_t* commandLine = GetCommandLineW();

    if (GetEnvironmentVariableW(L"PROBE_OUT", outputPath, 1024) - 1 < 1023) {
        HANDLE file = CreateFileW(outputPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const wchar_t nul = 0;
            WriteUnits(file, commandLine, static_cast<DWORD>(lstrlenW(commandLine)));
            WriteUnits(file, &nul, 1);
            const DWORD length = GetCurrentDirectoryW(1024, directory);
            WriteUnits(file, directory, length < 1024 ? length : 0);
            WriteUnits(file, &nul, 1);
            WriteNumber(file, L"", static_cast<uint64_t>(start.QuadPart));
            if (GetEnvironmentVariableW(L"PROBE_RACE", raced, 1024) - 1 < 1023) {
                Race(file);
            }
            CloseHandle(file);
        }
    }

    uint32_t exitCode = 0;
    if (GetEnvironmentVariableW(L"PROBE_EXIT", exitText, 64) - 1 < 63) {
        tool::ParseNumber(exitText, exitCode);
    }
    ExitProcess(exitCode);
}
