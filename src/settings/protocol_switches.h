#pragma once

#include <stdint.h>

#include "settings/installer_names.h"

// The switches, without their dashes, by which the stub tells its setup
// program where the archive is, in the order the setup command line gives
// them: the installer's own path switch, the archive's resource name and its
// resource type. The launch writes them; the settings refuse them on the
// stub's own command line, where only someone who wants the setup program to
// read another archive would give them.
constexpr uint64_t PROTOCOL_SWITCH_COUNT = 3;

extern const wchar_t ARCHIVE_NAME_SWITCH[];
extern const wchar_t ARCHIVE_TYPE_SWITCH[];

inline void ProtocolSwitches(const InstallerNames& names, const wchar_t* (&switches)[PROTOCOL_SWITCH_COUNT]) {
    switches[0] = names.pathSwitch;
    switches[1] = ARCHIVE_NAME_SWITCH;
    switches[2] = ARCHIVE_TYPE_SWITCH;
}
