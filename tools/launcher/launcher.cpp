// The tests' way to start a Windows program exactly. A shell and Wine between
// the test and the program would re-quote its command line and keep only eight
// bits of its exit code; the launcher takes the command line hex-encoded and
// reports the full 32-bit exit code.
//
//   launcher.exe COMMAND [APPLICATION|- [DIRECTORY|-]]
//
// Each argument is the UTF-16 code units of the text, four hex digits a unit.
// COMMAND goes to CreateProcessW unchanged; APPLICATION is its application
// name and DIRECTORY the child's current directory ("-": none, as inherited).
// Prints "start=<QueryPerformanceCounter before the start>" and
// "exit=0x<8 digits>", or "error=<CreateProcessW's error>".
//
// With LAUNCHER_SWAP_AWAY set, the program is started suspended and, before
// its first instruction runs, the file at LAUNCHER_SWAP_AWAY is renamed to
// LAUNCHER_SWAP_TO and the file at LAUNCHER_SWAP_IN (if set) is renamed into
// its place: what someone who may write the folder can do to an installer
// that has just been started. Prints "swap=<error of the first rename that
// failed, or 0>" before the exit line.
//
// With LAUNCHER_HOLD set, the file it names is opened first, with the access
// LAUNCHER_HOLD_ACCESS gives (a number, "0x" for hexadecimal) and sharing
// everything, and held until the program has ended: what an updater or a
// browser does that keeps a download open. Prints "hold=<the open's error,
// or 0>" before the exit line.
//
// LAUNCHER_SET_WINDIR and LAUNCHER_SET_SYSTEMROOT, when set, become the
// program's WINDIR and SYSTEMROOT (Wine sets its own for a program it starts
// from outside, whatever the caller's environment says).
#include <windows.h>

#include "common/tool_support.h"

namespace {

constexpr int MAX_TEXT = 4096;

// Decodes one blank-separated hex argument into `out`; returns the position
// after it, or null when it is malformed.
const wchar_t* DecodeArgument(const wchar_t* text, wchar_t* out, bool& present) {
    present = true;
    if (text[0] == L'-' && (text[1] == 0 || text[1] == L' ')) {
        present = false;
        out[0] = 0;
        return text + 1;
    }
    int count = 0;
    while (*text != 0 && *text != L' ') {
        if (count >= MAX_TEXT - 1) return nullptr;
        uint32_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = tool::HexDigit(text[i]);
            if (digit < 0) return nullptr;
            unit = unit * 16 + static_cast<uint32_t>(digit);
        }
        out[count++] = static_cast<wchar_t>(unit);
        text += 4;
    }
    out[count] = 0;
    return text;
}

wchar_t command[MAX_TEXT];
wchar_t application[MAX_TEXT];
wchar_t directory[MAX_TEXT];
wchar_t swapAway[MAX_TEXT];
wchar_t swapTo[MAX_TEXT];
wchar_t swapIn[MAX_TEXT];

// The renames of LAUNCHER_SWAP_*: 0, or the error of the first that failed.
DWORD Swap() {
    if (GetEnvironmentVariableW(L"LAUNCHER_SWAP_TO", swapTo, MAX_TEXT) - 1 >= MAX_TEXT - 1) {
        return ERROR_ENVVAR_NOT_FOUND;
    }
    if (!MoveFileExW(swapAway, swapTo, 0)) {
        return GetLastError();
    }
    if (GetEnvironmentVariableW(L"LAUNCHER_SWAP_IN", swapIn, MAX_TEXT) - 1 < MAX_TEXT - 1 &&
        !MoveFileExW(swapIn, swapAway, 0)) {
        return GetLastError();
    }
    return 0;
}

wchar_t holdPath[MAX_TEXT];
wchar_t value[MAX_TEXT];

// Opens LAUNCHER_HOLD as asked: the handle (INVALID_HANDLE_VALUE when the
// open failed, with `error` set).
HANDLE Hold(DWORD& error) {
    uint32_t access = 0;
    if (GetEnvironmentVariableW(L"LAUNCHER_HOLD_ACCESS", value, MAX_TEXT) - 1 >= MAX_TEXT - 1 ||
        !tool::ParseNumber(value, access)) {
        error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE held = CreateFileW(holdPath, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    error = held == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return held;
}

// The program's own WINDIR and SYSTEMROOT, from LAUNCHER_SET_<name>.
void SetSystemFolderVariables() {
    const wchar_t* const NAMES[][2] = {{L"LAUNCHER_SET_WINDIR", L"WINDIR"},
                                       {L"LAUNCHER_SET_SYSTEMROOT", L"SYSTEMROOT"}};
    for (const auto& name : NAMES) {
        if (GetEnvironmentVariableW(name[0], value, MAX_TEXT) - 1 < MAX_TEXT - 1) {
            SetEnvironmentVariableW(name[1], value);
        }
    }
}

void WriteNumberLine(HANDLE out, const char* key, uint64_t number) {
    char text[21];
    tool::FormatDecimal64(number, text);
    tool::WriteAscii(out, key);
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\n");
}

}  // namespace

extern "C" [[noreturn]] void LauncherEntry() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const wchar_t* rest = tool::SkipProgramName(GetCommandLineW());
    bool hasCommand = false;
    bool hasApplication = false;
    bool hasDirectory = false;
    application[0] = 0;
    directory[0] = 0;
    rest = DecodeArgument(rest, command, hasCommand);
    if (rest != nullptr && *rest == L' ') rest = DecodeArgument(rest + 1, application, hasApplication);
    if (rest != nullptr && *rest == L' ') rest = DecodeArgument(rest + 1, directory, hasDirectory);
    if (rest == nullptr || *rest != 0 || !hasCommand) {
        tool::WriteAscii(out, "usage: launcher.exe HEXCOMMAND [HEXAPPLICATION|- [HEXDIRECTORY|-]]\n");
        ExitProcess(2);
    }

    SetSystemFolderVariables();
    const bool hold = GetEnvironmentVariableW(L"LAUNCHER_HOLD", holdPath, MAX_TEXT) - 1 < MAX_TEXT - 1;
    DWORD holdError = 0;
    HANDLE held = hold ? Hold(holdError) : INVALID_HANDLE_VALUE;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER start = {};
    QueryPerformanceCounter(&start);
    const bool swap = GetEnvironmentVariableW(L"LAUNCHER_SWAP_AWAY", swapAway, MAX_TEXT) - 1 < MAX_TEXT - 1;
    if (!CreateProcessW(hasApplication ? application : nullptr, command, nullptr, nullptr, FALSE,
                        swap ? CREATE_SUSPENDED : 0, nullptr,
                        hasDirectory ? directory : nullptr, &startup, &process)) {
        char text[21];
        tool::FormatDecimal64(GetLastError(), text);
        tool::WriteAscii(out, "error=");
        tool::WriteAscii(out, text);
        tool::WriteAscii(out, "\n");
        ExitProcess(3);
    }
    DWORD swapError = 0;
    if (swap) {
        swapError = Swap();
        ResumeThread(process.hThread);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);

    char text[21];
    if (swap) WriteNumberLine(out, "swap=", swapError);
    if (hold) WriteNumberLine(out, "hold=", holdError);
    tool::FormatDecimal64(static_cast<uint64_t>(start.QuadPart), text);
    tool::WriteAscii(out, "start=");
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\nexit=");
    tool::FormatHex32(exitCode, text);
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\n");
    ExitProcess(0);
}
