#pragma once

#include <windows.h>
#include <stdint.h>

#include "outcome/run_outcome.h"
#include "settings/launch_settings.h"
#include "text/bounded_text.h"

// Starts the setup program with the switches that tell it where the archive
// is (the installer by `installerPath`, the final path of the file the run
// holds, under the installer's own path switch, and the archive's resource
// name and type), followed by the stub's own arguments as they were given,
// and waits for it. Returns its exit code (with 0), or 105, 107, 122, 123 or
// 124.
// Never inlined: its command buffer alone takes 2.6 KB of stack, and in the
// caller's frame it would make a frame that needs a stack probe.
[[gnu::noinline]] RunOutcome LaunchSetup(const LaunchSettings& settings, const InstallerNames& names,
                                         const PathBuffer& installerPath, const PathBuffer& archiveName,
                                         const TypeNameBuffer& archiveType, const PathBuffer& setupPath);

// Starts `application` with `commandLine` (which CreateProcessW may change in
// place), waits without a time limit and takes its exit code.
RunOutcome SpawnAndWait(const wchar_t* application, wchar_t* commandLine, uint32_t fileNotFoundCode,
                        uint32_t pathNotFoundCode, uint32_t otherFailureCode);

// Appends everything after the program name of `commandLine` to the command
// buffer, unparsed. False when it does not fit: the arguments are then not
// all there (at most the blank before them is).
bool AppendPassedOnArguments(CommandBuffer& command, const wchar_t* commandLine);
