#pragma once

// The names by which an installer meets the world outside it: the registry
// value that keeps the scratch directory, the switches refused on its command
// line, the switch that tells the setup program where the installer is, and
// the prefix by which its archive resource is recognised. A release that
// brings names of its own has the build write them to
// installer_names_given.h (tools/packaging/names.py makes it, from the cache
// variables STUB_CLEANUP_KEY and the others) and define
// INSTALLER_NAMES_GIVEN; every other build gets the names below. Each is a
// wide string literal, so that the launch can join the path switch to the
// text around it at compile time.
#ifdef INSTALLER_NAMES_GIVEN
#include "installer_names_given.h"
#else
#define INSTALLER_CLEANUP_KEY L"Software\\Tolvane"
#define INSTALLER_CLEANUP_VALUE L"BriselInstallerCleanup"
#define INSTALLER_REFUSED_SWITCHES L"--cleanup", L"--brisel-frame"
#define INSTALLER_PATH_SWITCH L"ferrolt-path"
#define INSTALLER_ARCHIVE_PREFIX L"brisel"
#endif
