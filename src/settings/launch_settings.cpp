#include "settings/launch_settings.h"

#include <shellapi.h>

#include "settings/argument_split.h"
#include "settings/protocol_switches.h"

namespace {

// The argument, up to its first "=" (or whole), is "--" and one of the
// switches by which the stub itself tells its setup program where the archive
// is, in any case. Anyone may start the genuine installer, elevated under its
// own publisher's name, with one of them appended: a setup program that takes
// the last of each would then read an installer or an archive of the
// caller's choosing. So they are refused too, with a value or without.
// Compared in place: the "=" is cut off for the comparison and put back, in
// the vector that the settings own.
bool IsProtocolSwitch(wchar_t* argument, const InstallerNames& names) {
    if (argument[0] != L'-' || argument[1] != L'-') {
        return false;
    }
    wchar_t* end = argument + 2;
    while (*end != 0 && *end != L'=') {
        ++end;
    }
    const wchar_t kept = *end;
    *end = 0;
    const wchar_t* switches[PROTOCOL_SWITCH_COUNT];
    ProtocolSwitches(names, switches);
    bool found = false;
    for (const wchar_t* name : switches) {
        found = found || lstrcmpiW(argument + 2, name) == 0;
    }
    *end = kept;
    return found;
}

// Switches that belong to the setup program's own protocol; a user or updater
// who hands them to the stub gets a refusal instead of a half-done run.
bool IsRejectedSwitch(wchar_t* argument, const InstallerNames& names) {
    for (uint32_t index = 0; index < names.refusedSwitchCount; ++index) {
        if (lstrcmpiW(argument, names.refusedSwitches[index]) == 0) {
            return true;
        }
    }
    return IsProtocolSwitch(argument, names);
}

}  // namespace

const wchar_t ARCHIVE_NAME_SWITCH[] = L"archive-resource-name";
const wchar_t ARCHIVE_TYPE_SWITCH[] = L"archive-resource-type";

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
    // The same tail again, as a setup program built with today's C run-time
    // splits it: the text the launch passes on, from the same end of the
    // program name (nothing, when its quote is never closed).
    const wchar_t* tail = text != nullptr ? SkipProgramName(text) : nullptr;
    wchar_t head[ARGUMENT_HEAD_UNITS + 1];
    while (tail != nullptr && NextRuntimeArgument(tail, head)) {
        if (IsRejectedSwitch(head, names)) {
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
