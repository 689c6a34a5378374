#pragma once

#include <windows.h>
#include <stdint.h>

#include "settings/installer_names.h"

// The two inputs the stub reads from outside before doing any work: the
// per-user registry value that can switch the final removal off, and its own
// command line, whose arguments are scanned for refused switches and later
// passed on to the setup program. The scan splits them as CommandLineToArgvW
// does and again as the setup program's C run-time will, since the two part
// on doubled quotes inside quotes.
struct LaunchSettings {
    LaunchSettings() = default;
    ~LaunchSettings();
    LaunchSettings(const LaunchSettings&) = delete;
    LaunchSettings& operator=(const LaunchSettings&) = delete;

    // Reads the registry value and the process command line, by the
    // installer's names. False only when the command line cannot be split;
    // the last error is then the one CommandLineToArgvW left.
    bool Initialize(const InstallerNames& names);
    bool ParseCommandLine(LPWSTR text, const InstallerNames& names);

    LPWSTR* argumentVector = nullptr;  // owned; released with LocalFree
    LPWSTR commandLine = nullptr;      // the process's own text; not owned
    int32_t argumentCount = 0;
    bool rejectedSwitchSeen = false;
    bool removeAfterRun = true;

private:
    void Reset();
};

// Reads a REG_SZ value into a caller-owned buffer of `capacity` UTF-16 units.
// True only when the buffer now holds a terminated string from a REG_SZ value.
bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                        wchar_t* buffer, uint32_t capacity);
