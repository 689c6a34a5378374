#include "settings/launch_settings.h"

#include <shellapi.h>

namespace {

// Switches that belong to the setup program's own protocol; a user or updater
// who hands them to the stub gets a refusal instead of a half-done run.
bool IsRejectedSwitch(const wchar_t* argument, const InstallerNames& names) {
    for (uint32_t index = 0; index < names.refusedSwitchCount; ++index) {
        if (lstrcmpiW(argument, names.refusedSwitches[index]) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

LaunchSettings::~LaunchSettings() { Reset(); }

void LaunchSettings::Reset() {
    if (argumentVector != nullptr) {
        LocalFree(argumentVector);
    }
    argumentVector = nullptr;
    commandLine = nullptr;
    argumentCount = 0;
    rejectedSwitchSeen = false;
    removeAfterRun = true;
}

bool LaunchSettings::Initialize(const InstallerNames& names) {
    Reset();

    // Any registry problem only leaves the removal on: a value can switch it
    // off, nothing can make the run fail.
    wchar_t value[2] = {0, 0};
    const bool read = ReadRegistryString(HKEY_CURRENT_USER, names.cleanupKey, names.cleanupValue, value, 2);
    removeAfterRun = !(read && value[0] == L'0');

    return ParseCommandLine(GetCommandLineW(), names);
}

bool LaunchSettings::ParseCommandLine(LPWSTR text, const InstallerNames& names) {
    commandLine = text;
    int count = 0;
    argumentVector = CommandLineToArgvW(text, &count);
    if (argumentVector == nullptr) {
        return false;
    }
    argumentCount = count;
    // Argument 0 is the program name and never counts. The scan runs to the
    // end, so a switch anywhere on the line is found.
    for (int32_t index = 1; index < argumentCount; ++index) {
        if (IsRejectedSwitch(argumentVector[index], names)) {
            rejectedSwitchSeen = true;
        }
    }
    return true;
}

bool ReadRegistryString(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                        wchar_t* buffer, uint32_t capacity) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }

    bool result = false;
    DWORD byteCount = capacity * 2;
    DWORD type = 0;
    // Data larger than the buffer comes back as ERROR_MORE_DATA and fails here.
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &byteCount) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        if (byteCount < 2) {
            buffer[0] = 0;
            result = true;
        } else {
            // The registry does not promise a terminator: a value may be stored
            // without one, and an odd last byte is no unit at all.
            const DWORD units = byteCount / 2;
            if (buffer[units - 1] == 0) {
                result = true;
            } else if (units < capacity) {
                buffer[units] = 0;
                result = true;
            }
        }
    }
    RegCloseKey(key);
    return result;
}
