#include "workarea/work_directory.h"

#include <ntsecapi.h>
#include <sddl.h>

#include "handles/scoped_handle.h"
#include "workarea/removal.h"

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

// Held from right after its creation until the run's last use of a name
// inside it, the way a process's current directory is held: nobody else can
// open it for deletion while it is held, so nobody can rename it, delete it
// or put a link in its place while our files in it are written, started and
// removed by name. Traverse access is a read of the
// directory as sharing counts it, so the hold's missing delete sharing is
// enforced; and since the hold itself asks for no delete access, every other
// open goes on as before: the setup program may make the directory its
// current directory, list it, and create, rename and remove files in it.
constexpr DWORD HOLD_ACCESS = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr DWORD HOLD_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The directory at `path`, held; INVALID_HANDLE_VALUE when it cannot be held
// (the open's error) or is no longer a plain directory (swapped for a link
// since its creation: ERROR_DIRECTORY).
HANDLE HoldDirectory(const wchar_t* path) {
    HANDLE handle = CreateFileW(path, HOLD_ACCESS, HOLD_SHARE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    FILE_BASIC_INFO info = {};
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info)) &&
        (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
        return handle;
    }
    CloseHandle(handle);
    SetLastError(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;
}

// Someone at the new directory (holding it, or having moved or replaced it)
// is worth another name; any other refusal would meet the next one too, and
// each try may leave a directory that cannot be removed either.
bool WorthAnotherName(DWORD holdError) {
    return holdError == ERROR_SHARING_VIOLATION || holdError == ERROR_FILE_NOT_FOUND ||
           holdError == ERROR_PATH_NOT_FOUND || holdError == ERROR_DIRECTORY;
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

bool BuildWorkDirSecurity(const wchar_t* path, PSECURITY_DESCRIPTOR& descriptor) {
    descriptor = nullptr;

    // Only a volume that answered that it keeps no ACLs (FAT, exFAT) gets
    // what the parent hands down. One that cannot be asked (a share whose
    // root we may not open) still gets the descriptor: a volume without ACLs
    // ignores it, and one with them must not lose the protection.
    PathBuffer volume;
    DWORD flags = 0;
    if (GetVolumePathNameW(path, volume.Text(), static_cast<DWORD>(volume.capacity)) &&
        GetVolumeInformationW(volume.Text(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_PERSISTENT_ACLS) == 0) {
        return true;
    }

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
    if (!workDirectory.Copy(parent) || !workDirectory.Append(NAME_PREFIX)) {
        return false;
    }
    const uint64_t namePosition = workDirectory.Length();
    if (workDirectory.capacity - namePosition < NAME_ROOM) {
        return false;
    }

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!BuildWorkDirSecurity(parent, descriptor)) {
        outcome = {EXIT_WORK_DIR_ACL_FAILED, GetLastError()};
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};

    outcome = {EXIT_WORK_DIR_FAILED, 0};
    wchar_t* const name = workDirectory.Text() + namePosition;
    const uint64_t nameRoom = workDirectory.capacity - namePosition;
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        // Cleared before each draw, so a failing generator repeats one name
        // (costing tries) rather than exposing stale stack bytes.
        uint8_t random[4] = {0, 0, 0, 0};
        SystemFunction036(random, sizeof(random));
        BytesToHexUpper(random, sizeof(random), name, nameRoom);
        name[NAME_DIGITS] = 0;
        workDirectory.Append(NAME_SUFFIX);

        // An existing name (another stub started from the same folder) makes
        // the creation fail, and the next try draws new bytes.
        if (CreateDirectoryW(workDirectory.Text(), descriptor != nullptr ? &attributes : nullptr)) {
            held = HoldDirectory(workDirectory.Text());
            if (held != INVALID_HANDLE_VALUE) {
                workDirectory.Append(L"\\");
                outcome = {EXIT_OK, 0};
                break;
            }
            // A directory we cannot hold could be swapped under us: it is
            // not used, and what stands at its name goes, never a link's
            // target.
            const DWORD holdError = GetLastError();
            RemoveWithRetries(workDirectory.Text());
            if (!WorthAnotherName(holdError)) {
                break;
            }
        }
    }

    if (descriptor != nullptr) {
        LocalFree(descriptor);
    }
    return outcome.exitCode == EXIT_OK;
}
