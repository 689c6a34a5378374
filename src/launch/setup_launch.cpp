#include "launch/setup_launch.h"

#include "settings/argument_split.h"
#include "settings/protocol_switches.h"

bool AppendPassedOnArguments(CommandBuffer& command, const wchar_t* commandLine) {
    if (commandLine == nullptr) {
        return true;
    }
    const wchar_t* rest = SkipProgramName(commandLine);
    if (rest == nullptr || *rest == 0) {
        return true;
    }
    // The arguments are not parsed, unquoted or re-quoted: the setup program
    // sees their spacing and quoting exactly as the stub received them. An
    // argument glued to the closing quote of the name gets a blank of its
    // own.
    return (IsBlank(*rest) || command.Append(L" ")) && command.Append(rest);
}

RunOutcome SpawnAndWait(const wchar_t* application, wchar_t* commandLine, uint32_t fileNotFoundCode,
                        uint32_t pathNotFoundCode, uint32_t otherFailureCode) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The child gets our environment and our current directory (not the
    // scratch directory), inherits no handle, and opens no console.
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        const DWORD error = GetLastError();
        // For the not-found codes the error is already in the exit code; what
        // helps is whether the program file itself is there.
        const DWORD attributes = GetFileAttributesW(application);
        if (error == ERROR_FILE_NOT_FOUND) {
            return {fileNotFoundCode, attributes};
        }
        if (error == ERROR_PATH_NOT_FOUND) {
            return {pathNotFoundCode, attributes};
        }
        return {otherFailureCode, error};
    }
    CloseHandle(process.hThread);

    RunOutcome outcome;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) {
        outcome = {EXIT_SETUP_WAIT_FAILED, GetLastError()};
    } else if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
        outcome = {EXIT_SETUP_WAIT_FAILED, GetLastError()};
    } else {
        outcome = {exitCode, 0};
    }
    CloseHandle(process.hProcess);
    return outcome;
}

RunOutcome LaunchSetup(const LaunchSettings& settings, const InstallerNames& names, const PathBuffer& installerPath,
                       const PathBuffer& archiveName, const TypeNameBuffer& archiveType,
                       const PathBuffer& setupPath) {
    PathBuffer application;
    if (!application.Copy(setupPath.Text())) {
        return {EXIT_SETUP_COMMAND_TOO_LONG, 0};
    }

    // "setup" --ferrolt-path="installer" --archive-resource-name="name"
    // --archive-resource-type="type" (the first switch under the installer's
    // own name): one piece per switch, the values as they stand (nothing is
    // escaped).
    const wchar_t* switches[PROTOCOL_SWITCH_COUNT];
    ProtocolSwitches(names, switches);
    const wchar_t* const values[PROTOCOL_SWITCH_COUNT] = {installerPath.Text(), archiveName.Text(),
                                                          archiveType.Text()};
    CommandBuffer command;
    bool composed = command.Copy(L"\"") && command.Append(application.Text());
    for (uint64_t i = 0; composed && i < PROTOCOL_SWITCH_COUNT; ++i) {
        composed = command.Append(L"\" --") && command.Append(switches[i]) && command.Append(L"=\"") &&
                   command.Append(values[i]);
    }
    composed = composed && command.Append(L"\"");
    if (!composed) {
        return {EXIT_SETUP_COMMAND_TOO_LONG, 0};
    }
    // An updater's arguments decide what gets installed: without them the
    // setup program would install the defaults and report success.
    if (!AppendPassedOnArguments(command, settings.commandLine)) {
        return {EXIT_SETUP_COMMAND_TOO_LONG, 0};
    }

    return SpawnAndWait(application.Text(), command.Text(), EXIT_SETUP_FILE_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND,
                        EXIT_SETUP_SPAWN_FAILED);
}
