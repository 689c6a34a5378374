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

    char text[21];
    if (swap) {
        tool::FormatDecimal64(swapError, text);
        tool::WriteAscii(out, "swap=");
        tool::WriteAscii(out, text);
        tool::WriteAscii(out, "\n");
    }
    tool::FormatDecimal64(static_cast<uint64_t>(start.QuadPart), text);
    tool::WriteAscii(out, "start=");
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\nexit=");
    tool::FormatHex32(exitCode, text);
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\n");
    ExitProcess(0);
}
