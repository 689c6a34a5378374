// The acceptance installer's setup program. The stub starts it from inside the
// scratch directory; it looks at that directory from inside while the stub
// waits, does the one thing the kit asks of it, writes what it saw as facts
// and exits with the code the kit asks for. All through the environment it
// inherits from the stub:
//   ACCEPTANCE_TASK    what to do (below); empty: only record
//   ACCEPTANCE_OUT     the facts file to write
//   ACCEPTANCE_EXIT    exit code, decimal or 0x-hexadecimal (default 0)
//   ACCEPTANCE_ASIDE   where to move its own image out of the scratch directory
//   ACCEPTANCE_TARGET  what a planted link leads to; the installer, for
//                      "take-installer"; the folder the restricted token must
//                      be able to open, for "descriptor"; the installer's
//                      folder, for "rename-folders"
//   ACCEPTANCE_ASIDE   (also) the folder above that, for "rename-folders"
//   ACCEPTANCE_KIT     the kit program, which holds a file for it (--hold)
//   ACCEPTANCE_WAIT    milliseconds to wait before exiting
// Every run records "command-line", "current-directory", "image", "scratch"
// and "started-at" (the performance counter as it began).
#include <windows.h>
#include <tlhelp32.h>

#include "acceptance/descriptor_facts.h"
#include "acceptance/facts.h"
#include "acceptance/links.h"
#include "common/tool_support.h"

namespace {

kit::Facts facts;
kit::Text<1024> image;
kit::Text<1024> scratch;
kit::Text<1024> value;
kit::Text<2048> command;

const wchar_t* Environment(const wchar_t* name) {
    value.Clear();
    const DWORD count = GetEnvironmentVariableW(name, value.units, 1024);
    value.length = count < 1024 ? static_cast<int>(count) : 0;
    value.units[value.length] = 0;
    return value.Get();
}

void Record(const wchar_t* key, DWORD error) { facts.SetNumber(L"", key, error); }

// Opens `path` for listing with this thread's token. 0 when granted, else
// the error.
DWORD OpenForListing(const wchar_t* path) {
    HANDLE handle = CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return error;
}

alignas(8) unsigned char userBlock[512];
alignas(8) unsigned char ownerBlock[512];
alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];

// A token like ours, but with the user, the token owner and Administrators
// kept for deny only: it may enter what everyone else may enter, and nothing
// that only we or Administrators may. Each step is recorded apart, so that a
// failure to act as that token never reads as a refusal of the scratch
// directory; and under the same token a folder that grants Everyone (which
// the token keeps) must open, so that a refusal means the scratch
// directory's entries refused it. The folder is made at ACCEPTANCE_TARGET.
void TryRestrictedToken() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_IMPERSONATE, &token)) {
        Record(L"restricted.token", GetLastError());
        return;
    }
    DWORD needed = 0;
    DWORD administratorsSize = sizeof(administrators);
    SID_AND_ATTRIBUTES disabled[3] = {};
    if (!GetTokenInformation(token, TokenUser, userBlock, sizeof(userBlock), &needed) ||
        !GetTokenInformation(token, TokenOwner, ownerBlock, sizeof(ownerBlock), &needed) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize)) {
        Record(L"restricted.token", GetLastError());
        CloseHandle(token);
        return;
    }
    disabled[0].Sid = reinterpret_cast<TOKEN_USER*>(userBlock)->User.Sid;
    disabled[1].Sid = reinterpret_cast<TOKEN_OWNER*>(ownerBlock)->Owner;
    disabled[2].Sid = administrators;
    HANDLE restricted = nullptr;
    const BOOL made = CreateRestrictedToken(token, 0, 3, disabled, 0, nullptr, 0, nullptr, &restricted);
    Record(L"restricted.token", made ? 0 : GetLastError());
    CloseHandle(token);
    if (!made) return;

    static kit::Text<1024> granted;
    granted.Clear();
    granted.Add(Environment(L"ACCEPTANCE_TARGET"));
    kit::Text<200> owner;
    const wchar_t* step = nullptr;
    Record(L"control.made", kit::MakeFolderForOwner(granted.Get(), L"D:P(A;;0x1200a9;;;WD)(A;;FA;;;", owner, step));

    if (ImpersonateLoggedOnUser(restricted)) {
        Record(L"restricted.impersonate", 0);
        Record(L"restricted.open", OpenForListing(scratch.Get()));
        Record(L"restricted.control", OpenForListing(granted.Get()));
        RevertToSelf();
    } else {
        Record(L"restricted.impersonate", GetLastError());
    }
    CloseHandle(restricted);
    Record(L"plain.open", OpenForListing(scratch.Get()));
}

DWORD MoveImageAside() {
    return MoveFileExW(image.Get(), Environment(L"ACCEPTANCE_ASIDE"), 0) ? 0 : GetLastError();
}

void PlantLink(bool junction) {
    const DWORD moved = MoveImageAside();
    Record(L"moved", moved);
    if (moved != 0) return;
    const wchar_t* target = Environment(L"ACCEPTANCE_TARGET");
    if (junction) {
        Record(L"link", kit::MakeJunction(image.Get(), target));
    } else {
        const BOOLEAN made = CreateSymbolicLinkW(image.Get(), target, SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        Record(L"link", made ? 0 : GetLastError());
    }
}

// Opens our own image with the given sharing, inheritably, and starts the
// kit to hold that handle for a while after we have gone.
void HandOverHeldImage(DWORD share) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE held = CreateFileW(image.Get(), GENERIC_READ, share, &inheritable, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        Record(L"held", GetLastError());
        return;
    }
    command.Clear();
    command.Add(L"\"");
    command.Add(Environment(L"ACCEPTANCE_KIT"));
    command.Add(L"\" --hold \"");
    command.Add(image.Get());
    command.Add(L"\" \"");
    command.Add(Environment(L"ACCEPTANCE_OUT"));
    command.Add(L".holder\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started =
        CreateProcessW(nullptr, command.units, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    Record(L"held", started ? 0 : GetLastError());
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(held);
}

void SetImageAttributes(DWORD attributes) {
    Record(L"attributes", SetFileAttributesW(image.Get(), attributes) ? 0 : GetLastError());
}

// What the stub's hold on the scratch directory must leave alone: a setup
// program that makes its own folder its current directory (an open without
// delete sharing) and renames a file inside it. The current directory is put
// back before anything else is tried, since it would hold the folder too.
void TryOrdinaryUse() {
    static kit::Text<1024> before;
    before.Clear();
    const DWORD units = GetCurrentDirectoryW(1024, before.units);
    before.length = units < 1024 ? static_cast<int>(units) : 0;
    before.units[before.length] = 0;
    Record(L"enter", SetCurrentDirectoryW(scratch.Get()) ? 0 : GetLastError());
    SetCurrentDirectoryW(before.Get());

    static kit::Text<1100> from;
    static kit::Text<1100> to;
    from.Clear();
    from.Add(scratch.Get());
    from.Add(L"\\ordinary.tmp");
    to.Clear();
    to.Add(scratch.Get());
    to.Add(L"\\ordinary-renamed.tmp");
    HANDLE file = CreateFileW(from.Get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD renamed = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        renamed = MoveFileExW(from.Get(), to.Get(), 0) ? 0 : GetLastError();
    }
    DeleteFileW(to.Get());
    DeleteFileW(from.Get());
    Record(L"rename-inside", renamed);
}

// Whether anyone may take the scratch directory from under the stub while
// it waits. Our own image must leave it first: a running program inside
// keeps any system from renaming or deleting the directory, held or not.
void TryToTakeScratch() {
    TryOrdinaryUse();
    const DWORD moved = MoveImageAside();
    Record(L"moved", moved);
    if (moved != 0) return;
    HANDLE handle = CreateFileW(scratch.Get(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    Record(L"delete-open", handle == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    static kit::Text<1100> renamed;
    renamed.Clear();
    renamed.Add(scratch.Get());
    renamed.Add(L"-renamed");
    const BOOL renamedAway = MoveFileExW(scratch.Get(), renamed.Get(), 0);
    Record(L"rename", renamedAway ? 0 : GetLastError());
    // Put back what a faulty stub let us take, so that the run can end.
    if (renamedAway) Record(L"rename-back", MoveFileExW(renamed.Get(), scratch.Get(), 0) ? 0 : GetLastError());
}

// Whether anyone may take the installer from under the setup program, which
// reads the archive from it: rename it away (and back, if a faulty stub let
// that happen), open it for deletion or for writing. And whether a setup
// program still reads it as it must: its first bytes through an open that
// shares reading only, its archive resource through a load as a data file.
void TryToTakeInstaller() {
    static kit::Text<1100> installer;
    static kit::Text<1100> moved;
    installer.Clear();
    installer.Add(Environment(L"ACCEPTANCE_TARGET"));
    moved.Clear();
    moved.Add(installer.Get());
    moved.Add(L"-moved");
    const BOOL renamed = MoveFileExW(installer.Get(), moved.Get(), 0);
    Record(L"installer.rename", renamed ? 0 : GetLastError());
    if (renamed) Record(L"installer.rename-back", MoveFileExW(moved.Get(), installer.Get(), 0) ? 0 : GetLastError());
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD accesses[] = {DELETE, GENERIC_WRITE};
    const wchar_t* const keys[] = {L"installer.delete-open", L"installer.write-open"};
    for (int i = 0; i < 2; ++i) {
        HANDLE handle = CreateFileW(installer.Get(), accesses[i], all, nullptr, OPEN_EXISTING, 0, nullptr);
        Record(keys[i], handle == INVALID_HANDLE_VALUE ? GetLastError() : 0);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    Record(L"installer.read", tool::ReadProgramStartError(installer.Get()));
    HMODULE data = LoadLibraryExW(installer.Get(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    DWORD dataError = data == nullptr ? GetLastError() : 0;
    if (data != nullptr) {
        if (FindResourceW(data, L"BRISEL.PACKED.7Z", L"B7") == nullptr) dataError = GetLastError();
        FreeLibrary(data);
    }
    Record(L"installer.data-file", dataError);
}

// Renames `folder` to "<folder>-renamed" (and back, if a faulty stub let
// that happen): "<key>.rename" is 0 when it could be renamed, else the error.
void TryToRename(const wchar_t* key, const wchar_t* folder) {
    static kit::Text<1100> path;
    static kit::Text<1100> renamed;
    path.Clear();
    path.Add(folder);
    renamed.Clear();
    renamed.Add(folder);
    renamed.Add(L"-renamed");
    kit::Text<64> name;
    const BOOL moved = MoveFileExW(path.Get(), renamed.Get(), 0);
    name.Clear();
    name.Add(key);
    name.Add(L".rename");
    Record(name.Get(), moved ? 0 : GetLastError());
    if (moved) {
        name.Add(L"-back");
        Record(name.Get(), MoveFileExW(renamed.Get(), path.Get(), 0) ? 0 : GetLastError());
    }
}

// Every module loaded in the process that started us (the stub), from a
// tool-help snapshot taken while it waits for us: "module.<n>" its path,
// "modules" how many; "modules-error" when the snapshot could not be had.
void ListParentModules() {
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(processes, &entry); more; more = Process32NextW(processes, &entry)) {
            if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
        }
        CloseHandle(processes);
    }
    HANDLE modules = parent != 0 ? CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, parent) : INVALID_HANDLE_VALUE;
    if (modules == INVALID_HANDLE_VALUE) {
        Record(L"modules-error", parent == 0 ? ERROR_NOT_FOUND : GetLastError());
        return;
    }
    MODULEENTRY32W module = {};
    module.dwSize = sizeof(module);
    uint32_t count = 0;
    kit::Text<32> key;
    for (BOOL more = Module32FirstW(modules, &module); more; more = Module32NextW(modules, &module)) {
        facts.Set(kit::Numbered(key, L"module.", ++count), module.szExePath);
    }
    CloseHandle(modules);
    Record(L"modules", count);
}

}  // namespace

extern "C" [[noreturn]] void AcceptanceProbeEntry() {
    LARGE_INTEGER started = {};
    QueryPerformanceCounter(&started);
    facts.Clear();
    kit::Text<24> startedAt;
    startedAt.Clear();
    startedAt.AddDecimal(static_cast<uint64_t>(started.QuadPart));
    facts.Set(L"started-at", startedAt.Get());
    facts.Set(L"command-line", GetCommandLineW());
    static kit::Text<1024> directory;
    directory.Clear();
    const DWORD directoryUnits = GetCurrentDirectoryW(1024, directory.units);
    directory.length = directoryUnits < 1024 ? static_cast<int>(directoryUnits) : 0;
    directory.units[directory.length] = 0;
    facts.Set(L"current-directory", directory.Get());

    image.Clear();
    const DWORD imageUnits = GetModuleFileNameW(nullptr, image.units, 1024);
    image.length = imageUnits < 1024 ? static_cast<int>(imageUnits) : 0;
    image.units[image.length] = 0;
    facts.Set(L"image", image.Get());
    scratch.Clear();
    int cut = image.length;
    while (cut > 0 && image.units[cut - 1] != L'\\') --cut;
    scratch.AddUnits(image.Get(), cut > 0 ? cut - 1 : 0);
    facts.Set(L"scratch", scratch.Get());

    kit::Text<64> task;
    task.Clear();
    task.Add(Environment(L"ACCEPTANCE_TASK"));
    if (kit::Equal(task.Get(), L"descriptor")) {
        kit::AddDescriptorFacts(facts, L"scratch.", scratch.Get());
        kit::AddDescriptorFacts(facts, L"setup.", image.Get());
        kit::Text<200> owner;
        if (kit::TokenOwnerText(owner)) facts.Set(L"token-owner", owner.Get());
        TryRestrictedToken();
    } else if (kit::Equal(task.Get(), L"junction")) {
        PlantLink(true);
    } else if (kit::Equal(task.Get(), L"symlink")) {
        PlantLink(false);
    } else if (kit::Equal(task.Get(), L"hold")) {
        HandOverHeldImage(FILE_SHARE_READ);
    } else if (kit::Equal(task.Get(), L"hold-delete-shared")) {
        HandOverHeldImage(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    } else if (kit::Equal(task.Get(), L"read-only")) {
        SetImageAttributes(FILE_ATTRIBUTE_READONLY);
    } else if (kit::Equal(task.Get(), L"read-only-hidden-system")) {
        SetImageAttributes(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    } else if (kit::Equal(task.Get(), L"take-scratch")) {
        TryToTakeScratch();
    } else if (kit::Equal(task.Get(), L"take-installer")) {
        TryToTakeInstaller();
    } else if (kit::Equal(task.Get(), L"scratch-descriptor")) {
        kit::AddDescriptorFacts(facts, L"scratch.", scratch.Get());
        kit::Text<200> owner;
        if (kit::TokenOwnerText(owner)) facts.Set(L"token-owner", owner.Get());
    } else if (kit::Equal(task.Get(), L"rename-folders")) {
        static kit::Text<1100> above;
        above.Clear();
        above.Add(Environment(L"ACCEPTANCE_ASIDE"));
        TryToRename(L"folder", Environment(L"ACCEPTANCE_TARGET"));
        TryToRename(L"above", above.Get());
    } else if (kit::Equal(task.Get(), L"list-parent-modules")) {
        ListParentModules();
    } else if (kit::Equal(task.Get(), L"look-for-intruder")) {
        // A directory someone swapped in for ours would hold their marker.
        static kit::Text<1100> marker;
        marker.Clear();
        marker.Add(scratch.Get());
        marker.Add(L"\\intruder.txt");
        facts.Set(L"intruder-inside", GetFileAttributesW(marker.Get()) == INVALID_FILE_ATTRIBUTES ? L"no" : L"yes");
    }
    uint32_t wait = 0;
    if (kit::ParseNumber(Environment(L"ACCEPTANCE_WAIT"), wait)) Sleep(wait);

    uint32_t exitCode = 0;
    kit::ParseNumber(Environment(L"ACCEPTANCE_EXIT"), exitCode);
    static kit::Text<1024> out;
    out.Clear();
    out.Add(Environment(L"ACCEPTANCE_OUT"));
    if (out.length > 0) facts.Save(out.Get());
    ExitProcess(exitCode);
}
