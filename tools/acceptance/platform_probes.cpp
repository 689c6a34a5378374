#include "acceptance/platform_probes.h"

#include <tlhelp32.h>

#include "acceptance/descriptor_facts.h"
#include "acceptance/links.h"
#include "acceptance/side_by_side.h"
#include "acceptance/work_folder.h"

namespace kit {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE OpenFor(const wchar_t* path, DWORD access, DWORD share) {
    return CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void Answer(Facts& facts, const wchar_t* probe, const wchar_t* text, DWORD error = 0) {
    Text<200> value;
    value.Clear();
    value.Add(text);
    if (error != 0) {
        value.Add(L" (error ");
        value.AddHex(error);
        value.Add(L")");
    }
    facts.Set(L"platform.", probe, value.Get());
}

// A folder made by MakeFolderForOwner, or the probe answered with why not.
bool MakeFolderWithOwnerEntry(Facts& facts, const wchar_t* probe, const wchar_t* path, const wchar_t* rights,
                              Text<200>& owner) {
    const wchar_t* step = nullptr;
    const DWORD error = MakeFolderForOwner(path, rights, owner, step);
    if (error != 0) Answer(facts, probe, step, error);
    return error == 0;
}

// A descriptor of our own making read back as it was set, or not. Protected,
// so that nothing is inherited from the work folder, and with plain rights
// only, so that no system maps them on the way.
[[gnu::noinline]] void ProbeStoredDacl(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"dacl");
    Text<200> owner;
    if (!MakeFolderWithOwnerEntry(facts, L"dacl", path.Get(), L"D:P(A;;FA;;;SY)(A;;0x1200a9;;;WD)(A;;FA;;;", owner)) {
        return;
    }

    AddDescriptorFacts(facts, L"probe.dacl.", path.Get());
    Text<300> last;
    last.Clear();
    last.Add(L"0x00000000 0x00000000 0x001F01FF ");
    last.Add(owner.Get());
    const wchar_t* const KEYS[] = {L"ace.1", L"ace.2", L"ace.3"};
    const wchar_t* const WANTED[] = {L"0x00000000 0x00000000 0x001F01FF S-1-5-18",
                                     L"0x00000000 0x00000000 0x001200A9 S-1-1-0", last.Get()};
    uint32_t count = 0;
    bool same = facts.GetNumber(L"probe.dacl.", L"aces", count) && count == 3;
    for (int i = 0; same && i < 3; ++i) same = Equal(facts.Get(L"probe.dacl.", KEYS[i]), WANTED[i]);
    Answer(facts, L"dacl", same ? L"stored" : L"synthesised: a descriptor set on a folder read back otherwise");
}

// A folder that grants us nothing but deletion: listing it must be refused.
// It goes again at once: left in the work folder, it would keep anyone who
// collects that folder after a failed run (an artifact upload, a copy) from
// reading it, and with it everything else the run left.
[[gnu::noinline]] void ProbeAccessCheck(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"access");
    Text<200> owner;
    if (!MakeFolderWithOwnerEntry(facts, L"access", path.Get(), L"D:P(A;;SD;;;", owner)) return;
    HANDLE handle = OpenFor(path.Get(), FILE_LIST_DIRECTORY, SHARE_ALL);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    RemoveDirectoryW(path.Get());
    if (error == ERROR_ACCESS_DENIED) return Answer(facts, L"access", L"checked");
    Answer(facts, L"access", error == 0 ? L"not checked: a folder that grants no listing was listed"
                                        : L"unclear: listing a folder that grants none failed otherwise",
           error);
}

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// A link made, seen to lead to its target, and deleted as the stub deletes:
// the target must stay.
[[gnu::noinline]] void ProbeLink(Facts& facts, const wchar_t* folder, bool junction) {
    const wchar_t* probe = junction ? L"junction" : L"symlink";
    Path target(folder, junction ? L"junction-target" : L"symlink-target.txt");
    Path link(folder, junction ? L"junction" : L"symlink");
    Path targetFile(target.Get(), L"file.txt");
    const wchar_t* kept = junction ? targetFile.Get() : target.Get();
    if (junction) CreateDirectoryW(target.Get(), nullptr);
    if (!WriteSmallFile(kept, "kept")) return Answer(facts, probe, L"its target cannot be made", GetLastError());
    DWORD error = 0;
    if (junction) {
        error = MakeJunction(link.Get(), target.Get());
    } else if (!CreateSymbolicLinkW(link.Get(), target.Get(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        error = GetLastError();
    }
    if (error == ERROR_PRIVILEGE_NOT_HELD) {
        return Answer(facts, probe, L"cannot be made by this account (an administrator or Developer Mode may)");
    }
    if (error != 0) return Answer(facts, probe, L"cannot be made", error);
    Path through(link.Get(), L"file.txt");
    if (!FileHolds(junction ? through.Get() : link.Get(), "kept")) {
        return Answer(facts, probe, L"made, but does not lead to its target");
    }
    error = DeleteLinkItself(link.Get());
    if (error != 0) return Answer(facts, probe, L"cannot be deleted through a handle", error);
    if (!FileHolds(kept, "kept")) return Answer(facts, probe, L"followed when deleted: its target's file went too");
    if (Exists(link.Get())) return Answer(facts, probe, L"still there after it was deleted");
    Answer(facts, probe, L"link-only");
}

// Deleting a file that another handle holds without delete sharing.
[[gnu::noinline]] void ProbeSharing(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"shared.txt");
    if (!WriteSmallFile(path.Get(), "held")) return Answer(facts, L"sharing", L"no file to hold", GetLastError());
    HANDLE held = OpenFor(path.Get(), GENERIC_READ, FILE_SHARE_READ);
    HANDLE deleting = OpenFor(path.Get(), DELETE, SHARE_ALL);
    const DWORD error = deleting == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (deleting != INVALID_HANDLE_VALUE) CloseHandle(deleting);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    if (held == INVALID_HANDLE_VALUE) return Answer(facts, L"sharing", L"the file cannot be held");
    if (error == ERROR_SHARING_VIOLATION) return Answer(facts, L"sharing", L"enforced");
    Answer(facts, L"sharing", L"not enforced: a delete open was not refused for sharing", error);
}

// A file deleted while another handle (with delete sharing) keeps it open
// is delete-pending: nobody may open it again until that handle closes.
[[gnu::noinline]] void ProbeDeletePending(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"pending.txt");
    if (!WriteSmallFile(path.Get(), "pending")) return Answer(facts, L"delete-pending", L"no file", GetLastError());
    HANDLE held = OpenFor(path.Get(), GENERIC_READ, SHARE_ALL);
    const DWORD deleted = DeleteLinkItself(path.Get());
    HANDLE again = OpenFor(path.Get(), GENERIC_READ, SHARE_ALL);
    const DWORD error = again == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    if (held == INVALID_HANDLE_VALUE || deleted != 0) {
        return Answer(facts, L"delete-pending", L"the file cannot be held and deleted", deleted);
    }
    if (error == ERROR_ACCESS_DENIED) return Answer(facts, L"delete-pending", L"refused");
    Answer(facts, L"delete-pending", error == 0 ? L"reopened" : L"refused otherwise", error);
}

[[gnu::noinline]] void ProbeReadOnly(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"read-only.txt");
    if (!WriteSmallFile(path.Get(), "read-only") || !SetFileAttributesW(path.Get(), FILE_ATTRIBUTE_READONLY)) {
        return Answer(facts, L"read-only", L"no read-only file", GetLastError());
    }
    const DWORD error = DeleteLinkItself(path.Get());
    if (error == ERROR_ACCESS_DENIED) return Answer(facts, L"read-only", L"refused");
    Answer(facts, L"read-only", error == 0 ? L"deleted without clearing the attribute" : L"refused otherwise", error);
}

// A directory held open without delete sharing: opening it for deletion and
// renaming it must both be refused as sharing violations. Any other refusal
// (access denied, say) would come from something else than the hold, and a
// check judged on it would show nothing about the hold.
[[gnu::noinline]] void ProbeDirectorySharing(Facts& facts, const wchar_t* folder) {
    Path path(folder, L"held-directory");
    Path renamed(folder, L"held-directory-renamed");
    CreateDirectoryW(path.Get(), nullptr);
    HANDLE held = OpenFor(path.Get(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (held == INVALID_HANDLE_VALUE) {
        return Answer(facts, L"directory-sharing", L"a directory cannot be held", GetLastError());
    }
    HANDLE deleting = OpenFor(path.Get(), DELETE, SHARE_ALL);
    const DWORD deleteError = deleting == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (deleting != INVALID_HANDLE_VALUE) CloseHandle(deleting);
    const BOOL moved = MoveFileExW(path.Get(), renamed.Get(), 0);
    const DWORD moveError = moved ? 0 : GetLastError();
    CloseHandle(held);
    if (moved) {
        MoveFileExW(renamed.Get(), path.Get(), 0);
        return Answer(facts, L"directory-sharing", L"not enforced: the held directory was renamed");
    }
    if (deleteError == 0) {
        return Answer(facts, L"directory-sharing", L"not enforced: the held directory was opened for deletion");
    }
    if (deleteError == ERROR_SHARING_VIOLATION && moveError == ERROR_SHARING_VIOLATION) {
        return Answer(facts, L"directory-sharing", L"enforced");
    }
    Text<200> refused;
    refused.Clear();
    refused.Add(L"refused, but not for sharing: open for deletion error ");
    refused.AddHex(deleteError);
    refused.Add(L", rename error ");
    refused.AddHex(moveError);
    Answer(facts, L"directory-sharing", refused.Get());
}

// A program beside planted libraries asks for them by bare name: the
// platform loads them from its folder, or never.
[[gnu::noinline]] void ProbePlantedLoad(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram, const wchar_t* plantedLibrary) {
    Path plant(folder, L"plant");
    CreateDirectoryW(plant.Get(), nullptr);
    Path program(plant.Get(), L"acceptance.exe");
    CopyFileW(kitProgram, program.Get(), FALSE);
    const wchar_t* const NAMES[] = {L"cabinet.dll", L"version.dll"};
    for (const wchar_t* name : NAMES) {
        Text<40> probe;
        probe.Clear();
        probe.Add(L"load.");
        probe.Add(name);
        Path library(plant.Get(), name);
        Path marker(plant.Get(), name);
        marker.Add(L".loaded");
        if (!CopyFileW(plantedLibrary, library.Get(), FALSE)) {
            Answer(facts, probe.Get(), L"no library to plant", GetLastError());
            continue;
        }
        static Text<1200> command;
        command.Clear();
        command.Add(L"\"");
        command.Add(program.Get());
        command.Add(L"\" --load ");
        command.Add(name);
        RunResult result;
        RunProgram(program.Get(), command.units, plant.Get(), 120000, result);
        Answer(facts, probe.Get(), Exists(marker.Get()) ? L"loaded" : L"not loaded");
    }
}

// Starts the kit's own role "--load NAME" from `program` in `folder`.
void RunLoad(const wchar_t* program, const wchar_t* folder, const wchar_t* name) {
    static Text<1200> command;
    command.Clear();
    command.Add(L"\"");
    command.Add(program);
    command.Add(L"\" --load \"");
    command.Add(name);
    command.Add(L"\"");
    RunResult result;
    RunProgram(program, command.units, folder, 120000, result);
}

// A program asks for a planted cabinet.dll by its full path: whether the
// platform loads a library that a path names (which an environment variable
// could make), rather than its own of that name.
[[gnu::noinline]] void ProbeLoadByPath(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram,
                                       const wchar_t* plantedLibrary) {
    Path byPath(folder, L"by-path");
    CreateDirectoryW(byPath.Get(), nullptr);
    Path library(byPath.Get(), L"cabinet.dll");
    if (!CopyFileW(plantedLibrary, library.Get(), FALSE)) {
        return Answer(facts, L"load-by-path", L"no library to plant", GetLastError());
    }
    RunLoad(kitProgram, byPath.Get(), library.Get());
    Path marker(library.Get());
    marker.Add(L".loaded");
    Answer(facts, L"load-by-path", Exists(marker.Get()) ? L"loaded" : L"not loaded");
}

// A program beside libraries planted under the names of system libraries
// that the platform itself may load into it (version.dll, which Wine's own
// ADVAPI32 loads), its modules listed from another process as the probe
// inside an installer lists the stub's: whether that can be done at all, and
// whether the platform names each module by the path it was loaded from
// (one named beside the program that left no marker there was not).
[[gnu::noinline]] void ProbeModulePaths(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram,
                                        const wchar_t* plantedLibrary) {
    // Kept apart from the frame, which would otherwise need a stack probe.
    static Path beside(folder, L"module-paths");
    CreateDirectoryW(beside.Get(), nullptr);
    static Path program(beside.Get(), L"acceptance.exe");
    CopyFileW(kitProgram, program.Get(), FALSE);
    const wchar_t* const NAMES[] = {L"version.dll", L"cryptbase.dll", L"cabinet.dll"};
    for (const wchar_t* name : NAMES) {
        Path library(beside.Get(), name);
        CopyFileW(plantedLibrary, library.Get(), FALSE);
    }
    static Text<1200> command;
    command.Clear();
    command.Add(L"\"");
    command.Add(program.Get());
    command.Add(L"\" --ready-wait");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.Get(), command.units, nullptr, nullptr, FALSE, 0, nullptr, beside.Get(), &startup,
                        &process)) {
        return Answer(facts, L"module-paths", L"the helper did not start", GetLastError());
    }
    CloseHandle(process.hThread);
    static Path ready(program.Get());
    ready.Add(L".ready");
    for (int waited = 0; waited < 600 && !Exists(ready.Get()); ++waited) Sleep(100);
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.dwProcessId);
    const DWORD error = modules == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    uint32_t misnamed = 0;
    if (modules != INVALID_HANDLE_VALUE) {
        static MODULEENTRY32W module;
        module = {};
        module.dwSize = sizeof(module);
        const int cut = beside.length + 1;
        for (BOOL more = Module32FirstW(modules, &module); more; more = Module32NextW(modules, &module)) {
            bool inside = !Equal(module.szExePath, program.Get());
            for (int i = 0; inside && i < cut; ++i) inside = module.szExePath[i] == (i < beside.length ? beside.units[i] : L'\\');
            if (!inside) continue;
            Path marker(module.szExePath);
            marker.Add(L".loaded");
            if (!Exists(marker.Get())) ++misnamed;
        }
        CloseHandle(modules);
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    if (error != 0) return Answer(facts, L"module-paths", L"unknown: another process's modules cannot be listed", error);
    Answer(facts, L"module-paths",
           misnamed == 0 ? L"as loaded" : L"misnamed: a module named beside a program was not loaded from there");
}

// A file held as the stub holds its own (reading, sharing reading, the
// name's own entry): whether its folder, and the folder above, can still be
// renamed. Were they, a folder on the held file's path could be swapped.
[[gnu::noinline]] void ProbeFolderOfOpenFile(Facts& facts, const wchar_t* folder) {
    Path above(folder, L"pin");
    Path inner(above.Get(), L"inner");
    CreateDirectoryW(above.Get(), nullptr);
    CreateDirectoryW(inner.Get(), nullptr);
    Path file(inner.Get(), L"held.txt");
    if (!WriteSmallFile(file.Get(), "held")) return Answer(facts, L"folder-of-open-file", L"no file", GetLastError());
    HANDLE held = CreateFileW(file.Get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) return Answer(facts, L"folder-of-open-file", L"the file cannot be held");
    const wchar_t* const FOLDERS[] = {inner.Get(), above.Get()};
    bool renamed = false;
    for (const wchar_t* each : FOLDERS) {
        Path away(each);
        away.Add(L"-renamed");
        if (MoveFileExW(each, away.Get(), 0)) {
            renamed = true;
            MoveFileExW(away.Get(), each, 0);
        }
    }
    CloseHandle(held);
    Answer(facts, L"folder-of-open-file",
           renamed ? L"renamed: a folder that holds an open file was renamed" : L"pinned");
}

// A program whose manifest depends on the Common-Controls assembly (the kit
// itself) asks for comctl32.dll, with "<program>.local" beside it holding a
// planted one by name and in the side-by-side folder form: whether the
// platform redirects a program's libraries through such a folder.
[[gnu::noinline]] void ProbeDotLocal(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram,
                                     const wchar_t* plantedLibrary) {
    Path probe(folder, L"dotlocal");
    CreateDirectoryW(probe.Get(), nullptr);
    Path program(probe.Get(), L"acceptance.exe");
    CopyFileW(kitProgram, program.Get(), FALSE);
    Path local(probe.Get(), L"acceptance.exe.local");
    CreateDirectoryW(local.Get(), nullptr);
    Path plain(local.Get(), L"comctl32.dll");
    CopyFileW(plantedLibrary, plain.Get(), FALSE);
    PlantSideBySideForms(local.Get(), plantedLibrary);
    RunLoad(program.Get(), probe.Get(), L"comctl32.dll");
    static Text<2000> loaded;
    ListLoadedMarkers(local.Get(), loaded);
    Answer(facts, L"dot-local", loaded.length > 0 ? L"redirected" : L"not redirected");
}

// A folder and a file whose names have letters beyond ASCII, read back by
// listing: a platform whose file system cannot keep them cannot show a run
// from such a folder.
[[gnu::noinline]] void ProbeNonAsciiNames(Facts& facts, const wchar_t* folder) {
    const wchar_t NAME[] = L"Pr\u00FCfung \u00F1 \u8A66\u9A13";
    Path path(folder, NAME);
    if (!CreateDirectoryW(path.Get(), nullptr)) {
        return Answer(facts, L"non-ascii-names", L"a folder so named cannot be made", GetLastError());
    }
    Path file(path.Get(), NAME);
    if (!WriteSmallFile(file.Get(), "name")) {
        return Answer(facts, L"non-ascii-names", L"a file so named cannot be made", GetLastError());
    }
    static Text<2000> names;
    ListOthers(path.Get(), nullptr, 0, names);
    Answer(facts, L"non-ascii-names", Equal(names.Get(), NAME) ? L"kept" : L"listed under another name");
}

// A file in a folder "a." made through the "\\?\" prefix, as any program
// of the user's may make one: whether the platform's own final path of it
// names "a.". One that names "a" tells the installer in "a." that it is in
// "a", so no run from there can show what the stub does with such a path.
[[gnu::noinline]] void ProbeDotFolder(Facts& facts, const wchar_t* folder) {
    static Text<PATH_UNITS> dotted;
    LiteralPath(Path(folder, L"a.").Get(), dotted);
    if (!CreateDirectoryW(dotted.Get(), nullptr)) {
        return Answer(facts, L"dot-folder", L"a folder \"a.\" cannot be made", GetLastError());
    }
    Path file(dotted.Get(), L"probe.txt");
    static Text<PATH_UNITS> found;
    const DWORD error = WriteSmallFile(file.Get(), "dot") ? WholeFinalPathOf(file.Get(), found) : GetLastError();
    DeleteFileW(file.Get());
    RemoveDirectoryW(dotted.Get());
    if (error != 0) return Answer(facts, L"dot-folder", L"no final path of a file in \"a.\"", error);
    const wchar_t ENDING[] = L"\\a.\\probe.txt";
    const int ending = Length(ENDING);
    if (found.length >= ending && Equal(found.Get() + found.length - ending, ENDING)) {
        return Answer(facts, L"dot-folder", L"kept");
    }
    static Text<PATH_UNITS + 100> answer;
    answer.Clear();
    answer.Add(L"a file in \"a.\" is named ");
    answer.Add(found.Get());
    facts.Set(L"platform.", L"dot-folder", answer.Get());
}

}  // namespace

void ProbePlatform(Facts& facts, const wchar_t* folder, const wchar_t* kitProgram, const wchar_t* plantedLibrary) {
    ProbeStoredDacl(facts, folder);
    ProbeAccessCheck(facts, folder);
    ProbeLink(facts, folder, true);
    ProbeLink(facts, folder, false);
    ProbeSharing(facts, folder);
    ProbeDeletePending(facts, folder);
    ProbeReadOnly(facts, folder);
    ProbeDirectorySharing(facts, folder);
    ProbePlantedLoad(facts, folder, kitProgram, plantedLibrary);
    ProbeNonAsciiNames(facts, folder);
    ProbeLoadByPath(facts, folder, kitProgram, plantedLibrary);
    ProbeFolderOfOpenFile(facts, folder);
    ProbeModulePaths(facts, folder, kitProgram, plantedLibrary);
    ProbeDotLocal(facts, folder, kitProgram, plantedLibrary);
    ProbeDotFolder(facts, folder);
}

}  // namespace kit
