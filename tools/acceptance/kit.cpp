// The acceptance kit: checks on the machine it runs on each promise the
// installer stub makes, and prints one line per check and a count.
//
//   acceptance.exe [--facts FILE] [--allow-not-shown CHECK[,CHECK...]]
//                                   run every check; FILE gets what was seen
//   acceptance.exe --judge FILE [--allow-not-shown CHECK[,CHECK...]]
//                                   judge the facts in FILE (another
//                                   machine's, or made up) without running
//
// A check the platform cannot show is NOT-SHOWN; unless it is named after
// --allow-not-shown, that counts against the run as a failure does.
//
// It needs, beside itself, acceptance-installer.exe (the stub, unchanged,
// whose setup program is the acceptance probe) and planted.dll, and works in
// a folder "acceptance-work" beside itself, removed when every check passed.
// Exit code 0 when no check failed and nothing was NOT-SHOWN without being
// allowed, 1 otherwise, 2 when it cannot start (or cannot write FILE).
//
// The kit's own roles, started by itself or by the probe:
//   acceptance.exe --hold IMAGE FACTS   holds the handles it inherited for a
//                                       while, then records whether IMAGE is
//                                       still there
//   acceptance.exe --load NAME          LoadLibraryW(NAME), for the platform
//                                       probe of planted libraries
//   acceptance.exe --ready-wait         marks itself ready and waits, for the
//                                       platform probe that lists another
//                                       process's modules
#include <windows.h>
#include <shellapi.h>

#include "acceptance/facts.h"
#include "acceptance/intruder.h"
#include "acceptance/judging.h"
#include "acceptance/judging_elevation.h"
#include "acceptance/links.h"
#include "acceptance/platform_probes.h"
#include "acceptance/retarget.h"
#include "acceptance/side_by_side.h"
#include "acceptance/verdict_table.h"
#include "acceptance/volumes.h"
#include "acceptance/work_folder.h"

namespace kit {

namespace {

constexpr DWORD INSTALLER_TIMEOUT_MS = 300000;
// Long enough that the stub meets the held file on its first attempts, well
// inside the ten seconds or so that it keeps trying.
constexpr DWORD HOLD_MS = 3000;
constexpr DWORD CROWD_WAIT_MS = 2000;
// Runs from one folder while an intruder goes for each new scratch directory.
constexpr int SWAP_RUNS = 20;
// Runs through a junction that is retargeted at each new scratch directory.
constexpr int RETARGET_RUNS = 5;

Facts facts;
Text<PATH_UNITS> kitFolder;
Text<PATH_UNITS> work;
HANDLE out;

const wchar_t* const ENVIRONMENT[] = {L"ACCEPTANCE_TASK", L"ACCEPTANCE_OUT", L"ACCEPTANCE_EXIT", L"ACCEPTANCE_ASIDE",
                                      L"ACCEPTANCE_TARGET", L"ACCEPTANCE_KIT", L"ACCEPTANCE_WAIT"};

void ClearEnvironment() {
    for (const wchar_t* name : ENVIRONMENT) SetEnvironmentVariableW(name, nullptr);
}

void SetNumberVariable(const wchar_t* name, uint32_t value) {
    Text<16> text;
    text.Clear();
    text.AddHex(value);
    SetEnvironmentVariableW(name, text.Get());
}

// One installer run, as a user would start it: a copy of the acceptance
// installer in a folder of its own, the setup program's task and exit code
// in the environment. Facts under `prefix`: "installer" (the copy's own
// path, as the file system gives it, which the stub tells its setup
// program), "started" (the path it was started by), "directory", "exit" (or
// "start-error"), "left" (what stays in the folder besides `keep`) and all
// the probe recorded.
struct Case {
    const wchar_t* prefix;
    const wchar_t* folder;
    const wchar_t* task;
    uint32_t exitCode;
    const wchar_t* typed = L"";
    const wchar_t* directory = nullptr;  // current directory; null: the installer's folder
    const wchar_t* installerName = L"installer.exe";
    const wchar_t* const* extraKeep = nullptr;
    int extraKeepCount = 0;
    void (*beforeItRuns)(const wchar_t* installer) = nullptr;  // done while it is started suspended
    const wchar_t* startedThrough = nullptr;  // a folder (under the work folder) the installer is started by
    const wchar_t* folderPath = nullptr;      // the installer's folder as a full path, in place of `folder`
};

constexpr int KEEP_MAX = 32;

[[gnu::noinline]] void RunCase(const Case& run) {
    Path folder(run.folderPath != nullptr ? run.folderPath : work.Get(), run.folderPath != nullptr ? nullptr : run.folder);
    CreateDirectoryW(folder.Get(), nullptr);
    Path installer(folder.Get(), run.installerName);
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    if (!CopyFileW(source.Get(), installer.Get(), FALSE)) {
        facts.SetNumber(run.prefix, L"start-error", GetLastError());
        return;
    }
    // Kept apart from the frame, which would otherwise need a stack probe.
    static Text<PATH_UNITS> started;
    started.Clear();
    if (run.startedThrough != nullptr) {
        started.Add(Path(work.Get(), run.startedThrough, run.installerName).Get());
    } else {
        started.Add(installer.Get());
    }
    static Text<PATH_UNITS> record;
    record.Clear();
    record.Add(Path(work.Get(), run.folder).Get());
    record.Add(L".facts");
    SetEnvironmentVariableW(L"ACCEPTANCE_TASK", run.task);
    SetEnvironmentVariableW(L"ACCEPTANCE_OUT", record.Get());
    SetNumberVariable(L"ACCEPTANCE_EXIT", run.exitCode);
    const wchar_t* directory = run.directory != nullptr ? run.directory : folder.Get();
    static Text<PATH_UNITS> own;
    FinalPathOf(started.Get(), own);
    facts.Set(run.prefix, L"installer", own.Get());
    facts.Set(run.prefix, L"started", started.Get());
    facts.Set(run.prefix, L"directory", directory);

    static Text<2000> command;
    command.Clear();
    command.Add(L"\"");
    command.Add(started.Get());
    command.Add(L"\"");
    if (*run.typed != 0) {
        command.Add(L" ");
        command.Add(run.typed);
    }
    RunResult result;
    RunProgram(started.Get(), command.units, directory, INSTALLER_TIMEOUT_MS, result, run.beforeItRuns);
    if (!result.started) {
        facts.SetNumber(run.prefix, L"start-error", result.error);
    } else if (result.timedOut) {
        facts.Set(run.prefix, L"start-error", L"it did not end in time");
    } else {
        facts.SetNumber(run.prefix, L"exit", result.exitCode);
    }
    const wchar_t* keep[KEEP_MAX] = {run.installerName};
    for (int i = 0; i < run.extraKeepCount && i < KEEP_MAX - 1; ++i) keep[1 + i] = run.extraKeep[i];
    static Text<2000> left;
    ListOthers(folder.Get(), keep, 1 + run.extraKeepCount, left);
    facts.Set(run.prefix, L"left", left.Get());
    facts.Load(record.Get(), run.prefix);
    ClearEnvironment();
}

// The probe also needs a folder that grants Everyone, which it makes here.
[[gnu::noinline]] void ObserveDescriptor() {
    Path granted(work.Get(), L"descriptor-granted");
    SetEnvironmentVariableW(L"ACCEPTANCE_TARGET", granted.Get());
    RunCase({L"d.", L"descriptor", L"descriptor", 0});
}

// A link planted as setup.exe, leading out of the scratch directory to a
// target that holds files: the stub must remove the link and nothing else.
[[gnu::noinline]] void ObserveLink(const wchar_t* prefix, bool junction) {
    const wchar_t* name = junction ? L"junction" : L"symlink";
    Path target(work.Get(), name);
    target.Add(junction ? L"-target" : L"-target.txt");
    Path aside(work.Get(), name);
    aside.Add(L"-aside.exe");
    Path first(target.Get(), L"first.txt");
    Path second(target.Get(), L"second.txt");
    if (junction) {
        CreateDirectoryW(target.Get(), nullptr);
        WriteSmallFile(first.Get(), "first");
        WriteSmallFile(second.Get(), "second");
    } else {
        WriteSmallFile(target.Get(), "target");
    }
    SetEnvironmentVariableW(L"ACCEPTANCE_ASIDE", aside.Get());
    SetEnvironmentVariableW(L"ACCEPTANCE_TARGET", target.Get());
    RunCase({prefix, name, name, 0});
    const bool intact = junction ? FileHolds(first.Get(), "first") && FileHolds(second.Get(), "second")
                                 : FileHolds(target.Get(), "target");
    facts.Set(prefix, L"target", intact ? L"intact" : L"its content is gone or changed");
}

[[gnu::noinline]] void ObserveHeld(const wchar_t* prefix, const wchar_t* folder, const wchar_t* task) {
    Path program(kitFolder.Get(), L"acceptance.exe");
    SetEnvironmentVariableW(L"ACCEPTANCE_KIT", program.Get());
    RunCase({prefix, folder, task, 0});
    // The holder reports when it lets go, a moment after the stub's end.
    Path record(work.Get(), folder);
    record.Add(L".facts.holder");
    Text<16> holder;
    holder.Clear();
    holder.Add(prefix);
    holder.Add(L"holder.");
    for (int waited = 0; waited < 600 && GetFileAttributesW(record.Get()) == INVALID_FILE_ATTRIBUTES; ++waited) {
        Sleep(100);
    }
    Sleep(200);
    facts.Load(record.Get(), holder.Get());
}

[[gnu::noinline]] void ObserveExitCodes() {
    for (int i = 0; i < EXIT_CODE_COUNT; ++i) {
        Text<16> prefix;
        Text<16> folder;
        RunCase({Numbered(prefix, L"e.", i, L"."), Numbered(folder, L"exit-", i), L"", EXIT_CODES[i]});
    }
}

[[gnu::noinline]] void ObserveCommandLines() {
    for (int i = 0; i < TYPED_ARGUMENT_COUNT; ++i) {
        Text<16> prefix;
        Text<16> folder;
        RunCase({Numbered(prefix, L"c.", i, L"."), Numbered(folder, L"arguments-", i), L"", 0, TYPED_ARGUMENTS[i]});
    }
    Path elsewhere(work.Get(), L"elsewhere");
    CreateDirectoryW(elsewhere.Get(), nullptr);
    RunCase({L"cd.", L"current-directory", L"", 0, L"", elsewhere.Get()});
}

[[gnu::noinline]] void ObserveNonAscii() {
    const wchar_t TYPED[] = L"\u00FC \"\u00F1 \u00DF\" \u8A66\u9A13";
    Path elsewhere(work.Get(), L"\u00C4rger \u00F6 \u8A66\u9A13");
    CreateDirectoryW(elsewhere.Get(), nullptr);
    facts.Set(L"n.arguments", TYPED);
    RunCase({L"n.", L"Pr\u00FCfung \u00F1 \u8A66\u9A13 \u2013 Ordner", L"", 0x80000000, TYPED, elsewhere.Get(),
             L"inst\u00E4ller \u00F1 \u00FC.exe"});
}

[[gnu::noinline]] void ObservePlantedLibraries() {
    const wchar_t* const PLANTED[] = {L"cabinet.dll", L"version.dll", L"cabinet.dll.loaded", L"version.dll.loaded"};
    Path folder(work.Get(), L"planted");
    CreateDirectoryW(folder.Get(), nullptr);
    Path library(kitFolder.Get(), L"planted.dll");
    for (int i = 0; i < 2; ++i) {
        Path planted(folder.Get(), PLANTED[i]);
        CopyFileW(library.Get(), planted.Get(), FALSE);
    }
    RunCase({L"p.", L"planted", L"", 0, L"", nullptr, L"installer.exe", PLANTED, 4});
    for (int i = 0; i < 2; ++i) {
        Path marker(folder.Get(), PLANTED[2 + i]);
        facts.Set(L"p.loaded.", PLANTED[i], GetFileAttributesW(marker.Get()) == INVALID_FILE_ATTRIBUTES ? L"no" : L"yes");
    }
}

// Sixteen installers started together from one folder, each setup program
// waiting a moment so that all the scratch directories exist at once.
[[gnu::noinline]] void ObserveCrowd() {
    Path folder(work.Get(), L"crowd");
    CreateDirectoryW(folder.Get(), nullptr);
    Path installer(folder.Get(), L"installer.exe");
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    CopyFileW(source.Get(), installer.Get(), FALSE);
    static Text<PATH_UNITS> own;
    FinalPathOf(installer.Get(), own);
    facts.Set(L"k.installer", own.Get());
    HANDLE processes[CROWD] = {};
    int started = 0;
    SetNumberVariable(L"ACCEPTANCE_WAIT", CROWD_WAIT_MS);
    for (int i = 0; i < CROWD; ++i) {
        Text<32> name;
        Path record(work.Get(), Numbered(name, L"crowd-", i, L".facts"));
        SetEnvironmentVariableW(L"ACCEPTANCE_OUT", record.Get());
        SetNumberVariable(L"ACCEPTANCE_EXIT", 0x100u + i);
        static Text<600> command;
        command.Clear();
        command.Add(L"\"");
        command.Add(installer.Get());
        command.Add(L"\"");
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(installer.Get(), command.units, nullptr, nullptr, FALSE, 0, nullptr, folder.Get(), &startup,
                           &process)) {
            CloseHandle(process.hThread);
            processes[started++] = process.hProcess;
        }
    }
    ClearEnvironment();
    WaitForMultipleObjects(static_cast<DWORD>(started), processes, TRUE, INSTALLER_TIMEOUT_MS);
    Text<32> key;
    for (int i = 0; i < started; ++i) {
        DWORD exitCode = 0;
        GetExitCodeProcess(processes[i], &exitCode);
        TerminateProcess(processes[i], 1);
        CloseHandle(processes[i]);
        facts.SetNumber(Numbered(key, L"k.", i, L"."), L"exit", exitCode);
        Text<32> name;
        Path record(work.Get(), Numbered(name, L"crowd-", i, L".facts"));
        facts.Load(record.Get(), key.Get());
    }
    const wchar_t* keep[] = {L"installer.exe"};
    static Text<2000> left;
    ListOthers(folder.Get(), keep, 1, left);
    facts.Set(L"k.left", left.Get());
}

[[gnu::noinline]] void ObserveScratchHeld() {
    Path aside(work.Get(), L"take-aside.exe");
    SetEnvironmentVariableW(L"ACCEPTANCE_ASIDE", aside.Get());
    RunCase({L"t.", L"take", L"take-scratch", 0});
}

// The installer while its setup program runs: the probe goes for it as
// another process of the user would, and reads it as a setup program does.
// Afterwards it must still be, byte for byte, the installer copied there.
[[gnu::noinline]] void ObserveInstallerHeld() {
    Path folder(work.Get(), L"take-installer");
    Path installer(folder.Get(), L"installer.exe");
    SetEnvironmentVariableW(L"ACCEPTANCE_TARGET", installer.Get());
    RunCase({L"i.", L"take-installer", L"take-installer", 0});
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    facts.Set(L"i.unchanged", SameFile(installer.Get(), source.Get()) ? L"yes" : L"no");
}

// What someone who may write the installer's folder can do in the instant
// between its start and its hold on its own file: rename it away to
// "<name>-moved" (fact "<prefix>rename": 0, or the error), then put something
// of their own at its name.
bool MoveAway(const wchar_t* prefix, const wchar_t* installer, Text<PATH_UNITS>& moved) {
    moved.Clear();
    moved.Add(installer);
    moved.Add(L"-moved");
    const bool done = MoveFileExW(installer, moved.Get(), 0) != FALSE;
    facts.SetNumber(prefix, L"rename", done ? 0 : GetLastError());
    return done;
}

// A copy of every byte at its name (fact "a.replace").
void PutACopyAtTheName(const wchar_t* installer) {
    Text<PATH_UNITS> moved;
    if (!MoveAway(L"a.", installer, moved)) return;
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    facts.SetNumber(L"a.", L"replace", CopyFileW(source.Get(), installer, TRUE) ? 0 : GetLastError());
}

// A symbolic link to the installer itself at its name (fact "al.link"):
// were the link followed, only the installer behind it would be held, and
// the link could be replaced while the setup program reads by that name.
void PutALinkAtTheName(const wchar_t* installer) {
    Text<PATH_UNITS> moved;
    if (!MoveAway(L"al.", installer, moved)) return;
    const bool made = CreateSymbolicLinkW(installer, moved.Get(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    facts.SetNumber(L"al.", L"link", made ? 0 : GetLastError());
}

// Each time the installer must find that what it holds is not the file it
// runs from, and end with its own code before creating anything.
[[gnu::noinline]] void ObserveInstallerTakenAtStart() {
    static const wchar_t* const MOVED[] = {L"installer.exe-moved"};
    RunCase({L"a.", L"taken-at-start", L"", 0, L"", nullptr, L"installer.exe", MOVED, 1, PutACopyAtTheName});
    RunCase({L"al.", L"linked-at-start", L"", 0, L"", nullptr, L"installer.exe", MOVED, 1, PutALinkAtTheName});
}

// Many runs from one folder while an intruder watches it and goes for each
// new scratch directory the moment it appears; each setup program looks for
// the intruder's marker in the directory it runs in.
[[gnu::noinline]] void ObserveScratchCreatedHeld() {
    static Path folder(work.Get(), L"swap");
    CreateDirectoryW(folder.Get(), nullptr);
    static Intruder intruder;
    StartIntruder(intruder, folder.Get());
    for (int i = 0; i < SWAP_RUNS; ++i) {
        Text<16> prefix;
        RunCase({Numbered(prefix, L"x.", i, L"."), L"swap", L"look-for-intruder", 0});
    }
    StopIntruder(intruder, facts, L"x.");
    facts.SetNumber(L"x.", L"runs", SWAP_RUNS);
}

// Copies the planted library into `folder` under each of `names`.
void Plant(const wchar_t* folder, const wchar_t* const* names, int count) {
    Path library(kitFolder.Get(), L"planted.dll");
    for (int i = 0; i < count; ++i) {
        Path planted(folder, names[i]);
        CopyFileW(library.Get(), planted.Get(), FALSE);
    }
}

// "<prefix>loaded.<name>": whether the planted library `name` in `folder`
// left its marker, that is, was loaded.
void RecordLoaded(const wchar_t* prefix, const wchar_t* folder, const wchar_t* const* names, int count) {
    Text<64> key;
    for (int i = 0; i < count; ++i) {
        Path marker(folder, names[i]);
        marker.Add(L".loaded");
        key.Clear();
        key.Add(prefix);
        key.Add(L"loaded.");
        facts.Set(key.Get(), names[i], GetFileAttributesW(marker.Get()) == INVALID_FILE_ATTRIBUTES ? L"no" : L"yes");
    }
}

// WINDIR and SYSTEMROOT, which for an elevated run come from the user who
// asked for it, name a folder whose system32 holds planted libraries under
// the names of the two the stub takes from the system.
[[gnu::noinline]] void ObserveEnvironmentSystemFolder() {
    Path folder(work.Get(), L"environment");
    CreateDirectoryW(folder.Get(), nullptr);
    Path windows(folder.Get(), L"windows");
    CreateDirectoryW(windows.Get(), nullptr);
    Path system(windows.Get(), L"system32");
    CreateDirectoryW(system.Get(), nullptr);
    Plant(system.Get(), ENVIRONMENT_PLANTED, ENVIRONMENT_PLANTED_COUNT);
    static const wchar_t* const NAMES[] = {L"WINDIR", L"SYSTEMROOT"};
    static Text<PATH_UNITS> saved[2];
    for (int i = 0; i < 2; ++i) {
        saved[i].Clear();
        const DWORD units = GetEnvironmentVariableW(NAMES[i], saved[i].units, PATH_UNITS);
        saved[i].length = units < PATH_UNITS ? static_cast<int>(units) : 0;
        saved[i].units[saved[i].length] = 0;
        SetEnvironmentVariableW(NAMES[i], windows.Get());
    }
    facts.Set(L"w.windir", windows.Get());
    static const wchar_t* const KEEP[] = {L"windows"};
    RunCase({L"w.", L"environment", L"", 0, L"", nullptr, L"installer.exe", KEEP, 1});
    for (int i = 0; i < 2; ++i) SetEnvironmentVariableW(NAMES[i], saved[i].length > 0 ? saved[i].Get() : nullptr);
    RecordLoaded(L"w.", system.Get(), ENVIRONMENT_PLANTED, ENVIRONMENT_PLANTED_COUNT);
}

// The installer started through a junction to its folder, which the kit
// retargets at a decoy the moment the scratch directory appears.
[[gnu::noinline]] void ObserveJunctionRetargeted() {
    static Path top(work.Get(), L"retarget");
    CreateDirectoryW(top.Get(), nullptr);
    static Path real(top.Get(), L"real");
    static Path decoy(top.Get(), L"decoy");
    static Path via(top.Get(), L"via");
    static Path library(kitFolder.Get(), L"planted.dll");
    CreateDirectoryW(real.Get(), nullptr);
    CreateDirectoryW(decoy.Get(), nullptr);
    const DWORD made = MakeJunction(via.Get(), real.Get());
    facts.SetNumber(L"jr.", L"junction", made);
    if (made != 0) return;
    static Retargeter retargeter;
    retargeter.real = real.Get();
    retargeter.via = via.Get();
    retargeter.decoy = decoy.Get();
    retargeter.library = library.Get();
    StartRetargeter(retargeter);
    Text<16> prefix;
    for (int i = 0; i < RETARGET_RUNS; ++i) {
        Numbered(prefix, L"jr.", i, L".");
        facts.SetNumber(prefix.Get(), L"arm", ArmRetargeter(retargeter));
        RunCase({prefix.Get(), L"retarget\\real", L"", 0, L"", nullptr, L"installer.exe", nullptr, 0, nullptr,
                 L"retarget\\via"});
        // What the retarget did, and what the decoy holds afterwards.
        Text<24> at;
        at.Clear();
        at.AddDecimal(retargeter.retargetedAt);
        facts.Set(prefix.Get(), L"retargeted-at", at.Get());
        facts.SetNumber(prefix.Get(), L"retarget-error", retargeter.error);
        facts.Set(prefix.Get(), L"retargeted-for", retargeter.name.Get());
        static Text<2000> inside;
        Path directory(decoy.Get(), retargeter.name.Get());
        if (retargeter.name.length > 0) {
            ListOthers(directory.Get(), nullptr, 0, inside);
        } else {
            inside.Clear();
        }
        facts.Set(prefix.Get(), L"decoy", inside.Get());
    }
    StopRetargeter(retargeter, facts, L"jr.");
    facts.SetNumber(L"jr.", L"runs", RETARGET_RUNS);
    SetJunctionTarget(via.Get(), real.Get());
}

// A folder "a." beside a folder "a", each with a copy of the installer: the
// "\\?\" prefix makes the one, and a program of the same user can make it
// too, where the Win32 rules read "...\a.\installer.exe" as the copy in
// "a". After each run, what "a" holds besides its installer ("decoy"),
// whether that installer is still the kit's ("decoy-installer"), and what
// the folder holding both has besides them ("top").
struct DotFolders {
    Path top;
    Text<PATH_UNITS> dotted;  // "a.", literal
    Path decoy;
    Path decoyInstaller;
};

[[gnu::noinline]] void RunFromTheDotFolder(const DotFolders& folders, const wchar_t* prefix, const wchar_t* record,
                                           const wchar_t* through) {
    // Started from the folder above, so that no current directory needs the
    // prefix.
    RunCase({prefix, record, L"", 0, L"", folders.top.Get(), L"installer.exe", nullptr, 0, nullptr, through,
             folders.dotted.Get()});
    // The stub tells its setup program the final path whole where the
    // prefix must stay, so that is the installer to compare with.
    static Text<PATH_UNITS> whole;
    Path installer(folders.dotted.Get(), L"installer.exe");
    WholeFinalPathOf(installer.Get(), whole);
    facts.Set(prefix, L"installer", whole.Get());
    static Text<2000> inside;
    const wchar_t* const KEEP_DECOY[] = {L"installer.exe"};
    ListOthers(folders.decoy.Get(), KEEP_DECOY, 1, inside);
    facts.Set(prefix, L"decoy", inside.Get());
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    facts.Set(prefix, L"decoy-installer", SameFile(folders.decoyInstaller.Get(), source.Get()) ? L"yes" : L"no");
    const wchar_t* const KEEP_TOP[] = {L"a.", L"a", L"via"};
    ListOthers(folders.top.Get(), KEEP_TOP, 3, inside);
    facts.Set(prefix, L"top", inside.Get());
}

// The installer in "a." started by its prefixed path, then, where a junction
// can be made, through a junction to "a.".
[[gnu::noinline]] void ObserveFolderEndingInADot() {
    static DotFolders folders = {Path(work.Get(), L"dot"), {}, Path(work.Get(), L"dot\\a"),
                                 Path(work.Get(), L"dot\\a\\installer.exe")};
    CreateDirectoryW(folders.top.Get(), nullptr);
    Path dotted(folders.top.Get(), L"a.");
    LiteralPath(dotted.Get(), folders.dotted);
    const DWORD made = CreateDirectoryW(folders.dotted.Get(), nullptr) ? 0 : GetLastError();
    facts.SetNumber(L"ad.", L"folder", made);
    if (made != 0) return;
    Path source(kitFolder.Get(), L"acceptance-installer.exe");
    const bool decoy = CreateDirectoryW(folders.decoy.Get(), nullptr) &&
                       CopyFileW(source.Get(), folders.decoyInstaller.Get(), FALSE);
    facts.SetNumber(L"ad.", L"decoy-folder", decoy ? 0 : GetLastError());
    if (!decoy) return;
    RunFromTheDotFolder(folders, L"ad.0.", L"dot-prefixed", nullptr);
    // The junction's target is an NT path, which no Win32 rule reads, so it
    // leads to "a." itself.
    Path via(folders.top.Get(), L"via");
    const DWORD junction = MakeJunction(via.Get(), dotted.Get());
    facts.SetNumber(L"ad.", L"junction", junction);
    if (junction == 0) RunFromTheDotFolder(folders, L"ad.1.", L"dot-junction", L"dot\\via");
    facts.SetNumber(L"ad.", L"runs", junction == 0 ? 2 : 1);
}

// While the setup program runs, it tries to rename the installer's folder
// and the folder above it.
[[gnu::noinline]] void ObserveFolderPinned() {
    Path top(work.Get(), L"pinned");
    CreateDirectoryW(top.Get(), nullptr);
    Path inner(top.Get(), L"inner");
    SetEnvironmentVariableW(L"ACCEPTANCE_TARGET", inner.Get());
    SetEnvironmentVariableW(L"ACCEPTANCE_ASIDE", top.Get());
    RunCase({L"f.", L"pinned\\inner", L"rename-folders", 0});
}

// The installer on a volume that keeps no ACLs, where there is one.
[[gnu::noinline]] void ObserveNoAclVolume() {
    static Text<PATH_UNITS> folder;
    Text<64> fileSystem;
    static Text<700> why;
    wchar_t windows[PATH_UNITS] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, PATH_UNITS);
    Path temp(length > 0 && length < PATH_UNITS ? windows : L"", L"Temp");
    facts.Set(L"v.system-temp", temp.Get());
    if (!MakeFolderOnVolumeWithoutAcls(folder, fileSystem, why)) {
        facts.Set(L"v.volume", L"none");
        facts.Set(L"v.why", why.Get());
        return;
    }
    facts.Set(L"v.volume", folder.Get());
    facts.Set(L"v.file-system", fileSystem.Get());
    RunCase({L"v.", L"no-acl", L"scratch-descriptor", 0, L"", nullptr, L"installer.exe", nullptr, 0, nullptr, nullptr,
             folder.Get()});
    // The scratch directory in the system's Temp must be gone with the run.
    const wchar_t* scratch = facts.Get(L"v.", L"scratch");
    facts.SetNumber(L"v.", L"scratch-after",
                    scratch == nullptr || GetFileAttributesW(scratch) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError());
    RemoveTree(folder.Get());
}

// While the setup program runs, it lists every module of the stub's process.
[[gnu::noinline]] void ObserveModules() {
    Path folder(work.Get(), L"modules");
    CreateDirectoryW(folder.Get(), nullptr);
    Plant(folder.Get(), SYSTEM_NAMES, SYSTEM_NAME_COUNT);
    wchar_t system[PATH_UNITS] = {};
    const UINT systemUnits = GetSystemDirectoryW(system, PATH_UNITS);
    facts.Set(L"m.system-folder", systemUnits > 0 && systemUnits < PATH_UNITS ? system : L"");
    wchar_t windows[PATH_UNITS] = {};
    const UINT windowsUnits = GetSystemWindowsDirectoryW(windows, PATH_UNITS);
    Path sideBySide(windowsUnits > 0 && windowsUnits < PATH_UNITS ? windows : L"", L"WinSxS");
    facts.Set(L"m.side-by-side-folder", sideBySide.Get());
    RunCase({L"m.", L"modules", L"list-parent-modules", 0, L"", nullptr, L"installer.exe", SYSTEM_NAMES,
             SYSTEM_NAME_COUNT});
    RecordLoaded(L"m.", folder.Get(), SYSTEM_NAMES, SYSTEM_NAME_COUNT);
}

// "<program>.local" beside the installer, holding planted libraries in both
// forms: by name, and in the side-by-side store's folder form.
[[gnu::noinline]] void ObserveDotLocal() {
    static const wchar_t* const PLAIN[] = {L"comctl32.dll", L"cryptbase.dll", L"version.dll", L"cabinet.dll"};
    Path folder(work.Get(), L"dotlocal");
    CreateDirectoryW(folder.Get(), nullptr);
    Path local(folder.Get(), L"installer.exe.local");
    CreateDirectoryW(local.Get(), nullptr);
    Plant(local.Get(), PLAIN, 4);
    Path library(kitFolder.Get(), L"planted.dll");
    const int forms = PlantSideBySideForms(local.Get(), library.Get());
    facts.SetNumber(L"dl.", L"planted", 4 + static_cast<uint32_t>(forms));
    static const wchar_t* const KEEP[] = {L"installer.exe.local"};
    RunCase({L"dl.", L"dotlocal", L"", 0, L"", nullptr, L"installer.exe", KEEP, 1});
    static Text<2000> loaded;
    ListLoadedMarkers(local.Get(), loaded);
    facts.Set(L"dl.loaded", loaded.Get());
}

// Which kit ran, and whether elevated: an elevated run's scratch directory
// names Administrators as its owner, a standard run's the user, so a report
// must say which it was.
void RecordRunner() {
#if defined(__aarch64__)
    facts.Set(L"kit.architecture", L"arm64");
#else
    facts.Set(L"kit.architecture", L"x64");
#endif
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    const BOOL read = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                      GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    if (token != nullptr) CloseHandle(token);
    facts.Set(L"kit.elevated", !read ? L"unknown" : elevation.TokenIsElevated ? L"yes" : L"no");
}

[[gnu::noinline]] void Observe() {
    Path platform(work.Get(), L"platform");
    CreateDirectoryW(platform.Get(), nullptr);
    Path program(kitFolder.Get(), L"acceptance.exe");
    Path library(kitFolder.Get(), L"planted.dll");
    RecordRunner();
    ProbePlatform(facts, platform.Get(), program.Get(), library.Get());
    ObserveDescriptor();
    ObserveLink(L"j.", true);
    ObserveLink(L"s.", false);
    ObserveHeld(L"h.", L"held", L"hold");
    ObserveHeld(L"hs.", L"held-shared", L"hold-delete-shared");
    RunCase({L"r.", L"read-only", L"read-only", 0});
    RunCase({L"rhs.", L"read-only-hidden-system", L"read-only-hidden-system", 0});
    ObserveExitCodes();
    ObserveCommandLines();
    ObserveNonAscii();
    ObservePlantedLibraries();
    ObserveCrowd();
    ObserveScratchHeld();
    ObserveInstallerHeld();
    ObserveInstallerTakenAtStart();
    ObserveScratchCreatedHeld();
    ObserveEnvironmentSystemFolder();
    ObserveJunctionRetargeted();
    ObserveFolderEndingInADot();
    ObserveFolderPinned();
    ObserveNoAclVolume();
    ObserveModules();
    ObserveDotLocal();
}

void Print(const wchar_t* text) { WriteText(out, text); }

// Removal can be turned off per user; the checks need it on.
[[gnu::noinline]] bool RemovalIsOff() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Tolvane", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    wchar_t value[4] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    const LONG read = RegQueryValueExW(key, L"BriselInstallerCleanup", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_SZ && value[0] == L'0' && value[1] == 0;
}

[[noreturn]] void Hold(const wchar_t* image, const wchar_t* record) {
    Sleep(HOLD_MS);
    const DWORD attributes = GetFileAttributesW(image);
    facts.Clear();
    facts.SetNumber(L"", L"image-at-release", attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0);
    facts.Save(record);
    ExitProcess(0);
}

// What the command line asked for, beyond the kit's own roles.
struct Options {
    const wchar_t* facts = nullptr;
    const wchar_t* judge = nullptr;
    const wchar_t* allowedNotShown = nullptr;
};

// False on anything but the forms in the usage line: each option once, with
// its value, and --facts never with --judge.
bool ReadOptions(int count, wchar_t** argv, Options& options) {
    for (int i = 1; i < count; i += 2) {
        const wchar_t** slot = Equal(argv[i], L"--facts")             ? &options.facts
                               : Equal(argv[i], L"--judge")           ? &options.judge
                               : Equal(argv[i], L"--allow-not-shown") ? &options.allowedNotShown
                                                                      : nullptr;
        if (slot == nullptr || *slot != nullptr || i + 1 >= count) return false;
        *slot = argv[i + 1];
    }
    return options.facts == nullptr || options.judge == nullptr;
}

// The kit cannot do what was asked: the reason, then exit code 2.
[[noreturn]] void Refuse(const wchar_t* a, const wchar_t* b = nullptr, const wchar_t* c = nullptr,
                         const wchar_t* d = nullptr) {
    const wchar_t* const parts[] = {a, b, c, d, L"\r\n"};
    for (const wchar_t* part : parts) {
        if (part != nullptr) Print(part);
    }
    ExitProcess(2);
}

[[noreturn]] void RefuseUnknownCheck(const wchar_t* name) {
    Print(L"--allow-not-shown: no check is called \"");
    Print(name);
    Print(L"\"; the checks are:");
    for (int i = 0; i < CHECK_COUNT; ++i) {
        Print(L" ");
        Print(CHECKS[i].name);
    }
    Refuse(L"");
}

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// Marks itself ready beside its own image ("<image>.ready") and waits, so
// that the platform probe can list its modules from outside, as the probe
// inside an installer lists the stub's.
[[noreturn]] void ReadyAndWait() {
    static wchar_t self[PATH_UNITS];
    const DWORD length = GetModuleFileNameW(nullptr, self, PATH_UNITS);
    if (length > 0 && length < PATH_UNITS) {
        Path ready(self);
        ready.Add(L".ready");
        WriteSmallFile(ready.Get(), "ready");
    }
    Sleep(60000);
    ExitProcess(0);
}

}  // namespace

}  // namespace kit

extern "C" [[noreturn]] void KitEntry() {
    using namespace kit;
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) ExitProcess(2);
    if (count == 4 && Equal(argv[1], L"--hold")) Hold(argv[2], argv[3]);
    if (count == 3 && Equal(argv[1], L"--load")) ExitProcess(LoadLibraryW(argv[2]) != nullptr ? 0 : 1);
    if (count == 2 && Equal(argv[1], L"--ready-wait")) ReadyAndWait();
    Options options;
    if (!ReadOptions(count, argv, options)) {
        Refuse(L"usage: acceptance.exe [--facts FILE] [--allow-not-shown CHECK[,CHECK...]]\r\n"
               L"       acceptance.exe --judge FILE [--allow-not-shown CHECK[,CHECK...]]");
    }
    Text<100> unknown;
    if (options.allowedNotShown != nullptr && !NamesOnlyChecks(options.allowedNotShown, unknown)) {
        RefuseUnknownCheck(unknown.Get());
    }
    if (options.judge != nullptr) {
        if (!facts.Load(options.judge, L"")) Refuse(L"cannot read the facts file ", options.judge);
        ExitProcess(PrintVerdicts(facts, options.allowedNotShown, out) ? 0 : 1);
    }
    if (RemovalIsOff()) {
        Refuse(L"HKCU\\Software\\Tolvane BriselInstallerCleanup is 0, so the installer keeps its scratch "
               L"directory: remove the value and run again");
    }

    static wchar_t self[PATH_UNITS];
    const DWORD length = GetModuleFileNameW(nullptr, self, PATH_UNITS);
    if (length == 0 || length >= PATH_UNITS) Refuse(L"the kit's own path is too long: copy it to a short one");
    DWORD cut = length;
    while (cut > 0 && self[cut - 1] != L'\\') --cut;
    self[cut] = 0;
    kitFolder.Clear();
    kitFolder.Add(self);
    Path installer(self, L"acceptance-installer.exe");
    Path library(self, L"planted.dll");
    if (!Exists(installer.Get()) || !Exists(library.Get())) {
        Refuse(L"acceptance-installer.exe and planted.dll must be beside acceptance.exe in ", self);
    }
    // Written now, empty, so that a path that cannot be written stops the
    // kit before its long run rather than after it.
    if (options.facts != nullptr && !facts.Save(options.facts)) {
        Refuse(L"cannot write the facts file ", options.facts);
    }
    work.Clear();
    work.Add(self);
    work.Add(L"acceptance-work");
    RemoveTree(work.Get());
    if (!CreateDirectoryW(work.Get(), nullptr)) {
        Text<16> error;
        error.Clear();
        error.AddHex(GetLastError());
        Print(L"cannot clear or make the work folder ");
        Print(work.Get());
        Print(L" (error ");
        Print(error.Get());
        // Most often what a failed elevated run left: its scratch directories
        // grant the Administrators group, not the user.
        Refuse(L"). A failed run as administrator leaves folders there that only an administrator may remove: "
               L"remove it from an elevated command prompt with  rmdir /s /q \"",
               work.Get(), L"\"  and run again");
    }

    Observe();
    const bool saved = options.facts == nullptr || facts.Save(options.facts);
    const bool passed = PrintVerdicts(facts, options.allowedNotShown, out);
    // Not on the table's stream: its last line stays the count.
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    if (passed) {
        RemoveTree(work.Get());
    } else {
        WriteText(errors, L"what the runs left is kept in ");
        WriteText(errors, work.Get());
        WriteText(errors, L"\r\n");
    }
    if (!saved) {
        WriteText(errors, L"cannot write the facts file ");
        WriteText(errors, options.facts);
        WriteText(errors, L"\r\n");
        ExitProcess(2);
    }
    ExitProcess(passed ? 0 : 1);
}
