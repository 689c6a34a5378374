#pragma once

#include <stdint.h>

// What a stage reports: the exit code that may leave the process, and the
// value that explains it (a Windows error code in most cases, 0 when none).
// A stage always writes both fields together, so a systemError never
// survives from an earlier stage. Only exitCode leaves the process. One that
// no stage wrote reads as success with no error, whoever declared it.
struct RunOutcome {
    uint32_t exitCode = 0;
    uint32_t systemError = 0;
};

// The stub's own exit codes. The numbers are fixed and deliberately not
// contiguous: updaters and support scripts already know them. Once the setup
// program has run, its own exit code replaces all of these.
constexpr uint32_t EXIT_OK = 0;
constexpr uint32_t EXIT_SETTINGS_FAILED = 101;
constexpr uint32_t EXIT_SETUP_COMMAND_TOO_LONG = 105;
constexpr uint32_t EXIT_SETUP_WAIT_FAILED = 107;
constexpr uint32_t EXIT_PATH_TOO_LONG = 108;
constexpr uint32_t EXIT_WORK_DIR_FAILED = 109;
constexpr uint32_t EXIT_ARCHIVE_RESOURCE_FAILED = 112;
constexpr uint32_t EXIT_SETUP_RESOURCE_FAILED = 115;
constexpr uint32_t EXIT_SETUP_WRITE_FAILED = 116;
constexpr uint32_t EXIT_WORK_DIR_ACL_FAILED = 117;
constexpr uint32_t EXIT_REJECTED_SWITCH = 118;
constexpr uint32_t EXIT_INSTALLER_FILE_FAILED = 119;
constexpr uint32_t EXIT_INSTALLER_NAMES_FAILED = 120;
constexpr uint32_t EXIT_SETUP_FILE_NOT_FOUND = 122;
constexpr uint32_t EXIT_SETUP_PATH_NOT_FOUND = 123;
constexpr uint32_t EXIT_SETUP_SPAWN_FAILED = 124;
