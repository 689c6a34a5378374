#include "entry/run_stub.h"

#include "handles/scoped_handle.h"
#include "installer/installer_file.h"
#include "launch/setup_launch.h"
#include "payload/payload_unpacking.h"
#include "settings/launch_settings.h"
#include "text/bounded_text.h"
#include "workarea/removal.h"
#include "workarea/work_directory.h"

uint64_t PathTail(const wchar_t* text, uint64_t length) {
    for (uint64_t k = length; k >= 1; --k) {
        if (text[k - 1] == L'\\') {
            return k;
        }
    }
    return 0;
}


RunOutcome RunStub(HMODULE module) {
    InstallerNames names;
    LaunchSettings settings;
    RunOutcome workDirectoryOutcome = {EXIT_OK, 0};
    PathBuffer installerPath;
    PathBuffer path;
    PathBuffer workDirectory;
    HANDLE workDirectoryHold = INVALID_HANDLE_VALUE;
    PathBuffer archiveName;
    TypeNameBuffer archiveType;

    // The installer's own names come first: a release's installer must never
    // act under the project's names, or under half of its own.
    if (!ReadInstallerNames(module, names)) {
        return {EXIT_INSTALLER_NAMES_FAILED, ERROR_INVALID_DATA};
    }
    if (!settings.Initialize(names)) {
        return {EXIT_SETTINGS_FAILED, GetLastError()};
    }
    // Refused before anything on disk is even looked at.
    if (settings.rejectedSwitchSeen) {
        return {EXIT_REJECTED_SWITCH, 0};
    }

    // The name we were started by, whole: the file to hold. Without it there
    // is nowhere safe to work, and that must not look like success.
    const DWORD length =
        GetModuleFileNameW(module, installerPath.Text(), static_cast<DWORD>(installerPath.capacity));
    if (length - 1 >= installerPath.capacity - 1) {
        return {EXIT_PATH_TOO_LONG, 0};
    }

    // Our own file is where the setup program reads the archive from, by the
    // path we give it: held from here to the run's end, and first made sure
    // to be the file this process was started from. Without either the run
    // ends before anything is created: going on would let whoever took the
    // installer's name in the instant before the hold (any process of the
    // user's own, in a Downloads folder) hand an elevated setup program an
    // archive of their own.
    const ScopedHandle installer(HoldInstallerFile(installerPath.Text()));
    if (!installer.IsValid()) {
        return {EXIT_INSTALLER_FILE_FAILED, GetLastError()};
    }
    if (!IsRunningImage(installer.Get(), module)) {
        return {EXIT_INSTALLER_FILE_FAILED, 0};
    }
    // From here on the installer and its folder go by the held file's own
    // path, never by the name we were started by: that name may pass through
    // a junction or link that someone of the user's own can retarget at any
    // moment, to have the scratch directory made, or the installer read,
    // elsewhere. The folders on this path are real ones, pinned while the
    // file is held in them.
    const RunOutcome finalPath = InstallerFinalPath(installer.Get(), installerPath);
    if (finalPath.exitCode != EXIT_OK) {
        return finalPath;
    }
    // Its folder, with the trailing backslash that a final path always has.
    path.Copy(installerPath.Text());
    path.units[PathTail(installerPath.Text(), installerPath.Length())] = 0;

    if (!MakeWorkDirectory(path.Text(), workDirectory, workDirectoryHold, workDirectoryOutcome)) {
        return workDirectoryOutcome;
    }

    path.Clear();
    RunOutcome result = ExtractPayload(module, names, workDirectory, path, archiveName, archiveType);

    // The unpacking touched the whole setup resource; hand those pages back
    // before the setup program needs the memory.
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));

    if (result.exitCode == EXIT_OK) {
        result = LaunchSetup(settings, names, installerPath, archiveName, archiveType, path);
    }

    // Best effort: a removal that fails never changes what the run reports.
    // The directory is held until our last use of a name inside it, so that
    // name still leads where our files are. Its own removal then goes by name
    // with the link flag: whatever stands there by then is removed itself,
    // never followed.
    if (settings.removeAfterRun && !path.IsEmpty()) {
        RemoveWithRetries(path.Text());
    }
    CloseHandle(workDirectoryHold);
    if (settings.removeAfterRun) {
        RemoveWithRetries(workDirectory.Text());
    }
    return result;
}
