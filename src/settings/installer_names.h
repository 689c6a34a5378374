#pragma once

#include <windows.h>
#include <stdint.h>

// The names by which an installer meets the world outside it: the registry
// value that keeps the scratch directory, the switch that tells the setup
// program where the installer is, the prefix by which its archive resource is
// recognised, and the switches refused on its command line. A release's own
// names come as data, the RT_RCDATA resource "NAMES" that the packaging
// writes; an installer without it has the project's own, below.
//
// The resource is UTF-16LE texts, each ended by one NUL unit: the key, the
// value, the path switch, the archive prefix, then at most
// REFUSED_SWITCH_COUNT_LIMIT refused switches, then one empty text that ends
// the list and the resource.
constexpr uint32_t REGISTRY_NAME_LIMIT = 255;  // the key and the value, as the registry allows them
constexpr uint32_t SWITCH_NAME_LIMIT = 64;     // the path switch, the prefix, each refused switch
constexpr uint32_t REFUSED_SWITCH_COUNT_LIMIT = 16;

// Every text is a pointer into the mapped image (the resource, or a constant
// of the stub): never copied, never written, and each within its limit.
struct InstallerNames {
    InstallerNames()
        : cleanupKey(L"Software\\Tolvane"),
          cleanupValue(L"BriselInstallerCleanup"),
          pathSwitch(L"ferrolt-path"),
          archivePrefix(L"brisel"),
          refusedSwitchCount(2) {
        refusedSwitches[0] = L"--cleanup";
        refusedSwitches[1] = L"--brisel-frame";
    }

    const wchar_t* cleanupKey;
    const wchar_t* cleanupValue;
    const wchar_t* pathSwitch;
    const wchar_t* archivePrefix;
    const wchar_t* refusedSwitches[REFUSED_SWITCH_COUNT_LIMIT];
    uint32_t refusedSwitchCount;
};

// Takes the names from the module's "NAMES" resource, or leaves the project's
// own when it has none. False when the resource is malformed (an odd size, a
// text without its terminator inside the resource, an empty name, a text over
// its limit, a refused switch too many, anything after the list's end): the
// run must then end before it does anything.
bool ReadInstallerNames(HMODULE module, InstallerNames& names);

// The texts of a names resource of `count` UTF-16 units, as above.
bool ParseInstallerNames(const wchar_t* units, uint32_t count, InstallerNames& names);
