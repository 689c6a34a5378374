#include "workarea/work_directory.h"

#include <ntsecapi.h>
#include <sddl.h>
#include <winternl.h>

#include "handles/scoped_handle.h"
#include "libraries/system_library.h"

namespace {

const wchar_t NAME_PREFIX[] = L"QX_";
const wchar_t NAME_SUFFIX[] = L".tmp";
constexpr uint64_t NAME_DIGITS = 5;
constexpr int CREATE_ATTEMPTS = 10;

// Five digits, ".tmp", the separator and the terminator: checked once up
// front, so no append in the creation loop can overflow.
constexpr uint64_t NAME_ROOM = 11;

// Protected (takes nothing from the parent) and auto-inherited. Full access
// for Administrators and SYSTEM, to the directory and to everything created
// inside; everything created inside also grants full access to its own
// owner; and the directory itself is open to the owner named by our token.
// No one else, in particular no Everyone or Users entry, gets anything.
const wchar_t SDDL_PREFIX[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";
const wchar_t SDDL_SUFFIX[] = L")";

static_assert(sizeof(SDDL_PREFIX) / sizeof(wchar_t) - 1 == 92, "the SID room depends on this length");

// Created and opened in one call, and held from then until the run's last
// use of a name inside it, the way a process's current directory is held:
// the handle is the directory that was created, with its descriptor applied
// at creation, and there is no instant in which someone else could rename it
// away and put a directory of their own at its name. Nobody else can open it
// for deletion while it is held, so nobody can rename it, delete it or put a
// link in its place while our files in it are written, started and removed
// by name. Traverse access is a read of the directory as sharing counts it,
// so the hold's missing delete sharing is enforced; and since the hold itself
// asks for no delete access, every other open goes on as before: the setup
// program may make the directory its current directory, list it, and create,
// rename and remove files in it.
constexpr DWORD HOLD_ACCESS = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr DWORD HOLD_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// "QX_", the digits and ".tmp", as the file system counts a name: in bytes.
constexpr USHORT NAME_BYTES = (sizeof(NAME_PREFIX) + sizeof(NAME_SUFFIX)) - 2 * sizeof(wchar_t) +
                              NAME_DIGITS * sizeof(wchar_t);

// The file system's own create, which makes a directory and opens it in the
// same call; the Windows API has none that hands back the handle of a
// directory it made.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

NtCreateFileFunction LoadNtCreateFile() {
    return reinterpret_cast<NtCreateFileFunction>(reinterpret_cast<void*>(NtdllFunction("NtCreateFile")));
}

// The folder every name is created relative to, opened once. Shared in every
// way, delete included: another program may hold the folder open for
// deletion (it may be renaming something inside), and that must not stop the
// run. Let go of once the directory is made.
HANDLE OpenFolder(const wchar_t* folder) {
    return CreateFileW(folder, FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// False only when the volume of the held folder answered that it keeps no
// ACLs (FAT, exFAT). Asked of the handle, so the answer is about the folder
// itself, not about whatever a path leads to by now. One that cannot be
// asked is taken to keep them, which keeps the scratch directory beside the
// installer, with its descriptor, as on any other volume.
bool KeepsAcls(HANDLE folder) {
    DWORD flags = 0;
    return !GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The folder the scratch directory is made in, held, with its path in
// `folder`: the given one, which holds the installer, unless its volume keeps
// no ACLs. There a descriptor protects nothing: anyone could put a library
// beside setup.exe, which looks in its own folder first, or replace setup.exe
// before it starts. The directory then goes to the Temp folder of the Windows
// folder, as the system itself knows it (never a folder an environment
// variable names, which for an elevated run the user chose), where the
// descriptor holds. INVALID_HANDLE_VALUE when neither can be opened.
HANDLE OpenCreationFolder(PathBuffer& folder) {
    const HANDLE given = OpenFolder(folder.Text());
    if (given == INVALID_HANDLE_VALUE || KeepsAcls(given)) {
        return given;
    }
    CloseHandle(given);
    const UINT length = GetSystemWindowsDirectoryW(folder.Text(), static_cast<UINT>(folder.capacity));
    if (length == 0 || length >= folder.capacity || !folder.Append(L"\\Temp\\")) {
        return INVALID_HANDLE_VALUE;
    }
    return OpenFolder(folder.Text());
}

// Creates the directory `name` (NAME_BYTES long, not terminated there) inside
// the folder held by `folder`, and hands it back in `held`. Relative to the
// folder's handle, no path is converted or looked up again. False, leaving
// `held` alone, when nothing was created: the name is taken (by a directory,
// a file or a link alike) or the creation was refused. Why is not kept: the
// caller draws another name whatever the reason.
bool CreateHeldDirectory(NtCreateFileFunction ntCreateFile, HANDLE folder, wchar_t* name,
                         PSECURITY_DESCRIPTOR descriptor, HANDLE& held) {
    UNICODE_STRING objectName = {NAME_BYTES, NAME_BYTES, name};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof(attributes);
    attributes.RootDirectory = folder;
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    attributes.SecurityDescriptor = descriptor;
    IO_STATUS_BLOCK status;
    HANDLE created;
    if (ntCreateFile(&created, HOLD_ACCESS, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, HOLD_SHARE,
                     FILE_CREATE, FILE_DIRECTORY_FILE, nullptr, 0) < 0) {
        return false;
    }
    held = created;
    return true;
}

}  // namespace

bool BytesToHexUpper(const uint8_t* bytes, uint64_t count, wchar_t* output, uint64_t capacity) {
    static const wchar_t DIGITS[] = L"0123456789ABCDEF";
    if (capacity <= 2 * count) {
        return false;
    }
    output[2 * count] = 0;
    for (uint64_t i = 0; i < count; ++i) {
        output[2 * i] = DIGITS[bytes[i] >> 4];
        output[2 * i + 1] = DIGITS[bytes[i] & 0xF];
    }
    return true;
}

bool TokenOwnerSidText(wchar_t*& sidText) {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        return false;
    }
    const ScopedHandle token(opened);

    DWORD needed = 0;
    GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &needed);
    if (needed == 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    void* block = LocalAlloc(LMEM_ZEROINIT, needed);
    if (block == nullptr) {
        return false;
    }
    bool result = false;
    if (GetTokenInformation(token.Get(), TokenOwner, block, needed, &needed)) {
        result = ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(block)->Owner, &sidText) != FALSE;
    }
    const DWORD error = GetLastError();
    LocalFree(block);
    SetLastError(error);
    return result;
}

bool BuildWorkDirSecurity(PSECURITY_DESCRIPTOR& descriptor) {
    descriptor = nullptr;
    wchar_t* sidText = nullptr;
    if (!TokenOwnerSidText(sidText)) {
        return false;
    }
    SddlBuffer sddl;
    bool built = sddl.Append(SDDL_PREFIX) && sddl.Append(sidText) && sddl.Append(SDDL_SUFFIX);
    if (built) {
        built = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.Text(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr) != FALSE;
    } else {
        // A SID too long for the descriptor text: fail with a reason a caller
        // can report instead of whatever the last call left behind.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    const DWORD error = GetLastError();
    LocalFree(sidText);
    SetLastError(error);
    return built;
}

bool MakeWorkDirectory(const wchar_t* parent, PathBuffer& workDirectory, HANDLE& held, RunOutcome& outcome) {
    held = INVALID_HANDLE_VALUE;
    outcome = {EXIT_PATH_TOO_LONG, 0};
    if (!workDirectory.Copy(parent)) {
        return false;
    }

    outcome = {EXIT_WORK_DIR_FAILED, 0};
    const ScopedHandle folder(OpenCreationFolder(workDirectory));
    if (!folder.IsValid()) {
        return false;
    }

    outcome = {EXIT_PATH_TOO_LONG, 0};
    if (!workDirectory.Append(NAME_PREFIX)) {
        return false;
    }
    const uint64_t namePosition = workDirectory.Length();
    if (workDirectory.capacity - namePosition < NAME_ROOM) {
        return false;
    }

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!BuildWorkDirSecurity(descriptor)) {
        outcome = {EXIT_WORK_DIR_ACL_FAILED, GetLastError()};
        return false;
    }

    outcome = {EXIT_WORK_DIR_FAILED, 0};
    const NtCreateFileFunction ntCreateFile = LoadNtCreateFile();
    if (ntCreateFile != nullptr) {
        wchar_t* const digits = workDirectory.Text() + namePosition;
        wchar_t* const name = digits - (sizeof(NAME_PREFIX) / sizeof(wchar_t) - 1);
        const uint64_t digitsRoom = workDirectory.capacity - namePosition;
        for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
            // Cleared before each draw, so a failing generator repeats one
            // name (costing tries) rather than exposing stale stack bytes.
            uint8_t random[4] = {0, 0, 0, 0};
            SystemFunction036(random, sizeof(random));
            BytesToHexUpper(random, sizeof(random), digits, digitsRoom);
            digits[NAME_DIGITS] = 0;
            workDirectory.Append(NAME_SUFFIX);

            // A name that exists (another stub started from the same folder)
            // draws new bytes; so does any other refusal: a failed create
            // made nothing, so nothing is left to undo.
            if (CreateHeldDirectory(ntCreateFile, folder.Get(), name, descriptor, held)) {
                workDirectory.Append(L"\\");
                outcome = {EXIT_OK, 0};
                break;
            }
        }
    }

    LocalFree(descriptor);
    return outcome.exitCode == EXIT_OK;
}
