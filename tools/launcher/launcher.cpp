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
    if (!CreateProcessW(hasApplication ? application : nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                        hasDirectory ? directory : nullptr, &startup, &process)) {
        char text[21];
        tool::FormatDecimal64(GetLastError(), text);
        tool::WriteAscii(out, "error=");
        tool::WriteAscii(out, text);
        tool::WriteAscii(out, "\n");
        ExitProcess(3);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);

    char text[21];
    tool::FormatDecimal64(static_cast<uint64_t>(start.QuadPart), text);
    tool::WriteAscii(out, "start=");
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\nexit=");
    tool::FormatHex32(exitCode, text);
    tool::WriteAscii(out, text);
    tool::WriteAscii(out, "\n");
    ExitProcess(0);
}
