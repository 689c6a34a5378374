// The yardstick for the installer's time to child start: the least work that
// any installer of this kind must do before its setup program can start.
// It expands the setup program's cabinet from a mapped image to a file with
// the system's cabinet library, through the product's own compiled payload
// modules (ExpandCabinet), and records QueryPerformanceCounter when that is
// done.
//
//   bench_baseline.exe INSTALLER DIRECTORY RESULT
//
// INSTALLER is mapped as a data file (the archive in it is never touched),
// its BL/SETUP.EX_ is expanded to DIRECTORY\setup.exe (DIRECTORY must exist
// and end with a backslash).
// RESULT gets "<counter> <frequency>" in ASCII. Exit code 0 when all of it
// worked, else the number of the step that failed. Removing the files is left
// to the caller, outside the measured time.
#include <windows.h>
#include <shellapi.h>
#include <stdint.h>

#include "common/tool_support.h"
#include "payload/cabinet_expansion.h"

namespace {

bool Join(wchar_t* out, int capacity, const wchar_t* directory, const wchar_t* name) {
    int length = 0;
    const wchar_t* const parts[] = {directory, name};
    for (const wchar_t* part : parts) {
        for (; *part != 0; ++part) {
            if (length >= capacity - 1) return false;
            out[length++] = *part;
        }
    }
    out[length] = 0;
    return true;
}

wchar_t setupPath[1024];

}  // namespace

extern "C" [[noreturn]] void BaselineEntry() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 4) {
        ExitProcess(2);
    }
    if (!Join(setupPath, 1024, arguments[2], L"setup.exe")) {
        ExitProcess(2);
    }

    // As the stub finds its own payload, but in a module mapped as data: the
    // installer's code never runs here.
    HMODULE installer =
        LoadLibraryExW(arguments[1], nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (installer == nullptr) {
        ExitProcess(3);
    }
    HRSRC found = FindResourceW(installer, L"SETUP.EX_", L"BL");
    HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(installer, found);
    const void* data = loaded == nullptr ? nullptr : LockResource(loaded);
    const DWORD size = found == nullptr ? 0 : SizeofResource(installer, found);
    if (data == nullptr || size == 0) {
        ExitProcess(4);
    }
    if (!ExpandCabinet({static_cast<const uint8_t*>(data), size}, setupPath)) {
        ExitProcess(6);
    }

    LARGE_INTEGER done = {};
    QueryPerformanceCounter(&done);
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);

    HANDLE result = CreateFileW(arguments[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (result == INVALID_HANDLE_VALUE) {
        ExitProcess(7);
    }
    char digits[21];
    tool::FormatDecimal64(static_cast<uint64_t>(done.QuadPart), digits);
    tool::WriteAscii(result, digits);
    tool::WriteAscii(result, " ");
    tool::FormatDecimal64(static_cast<uint64_t>(frequency.QuadPart), digits);
    tool::WriteAscii(result, digits);
    tool::WriteAscii(result, "\n");
    CloseHandle(result);
    ExitProcess(0);
}
