#include "acceptance/links.h"

#include <winioctl.h>

#include "acceptance/facts.h"

namespace kit {

namespace {

// The mount-point form of the system's reparse data (not in the user-mode
// headers): the NT path the junction leads to and the path it shows.
struct MountPointData {
    DWORD reparseTag;
    WORD reparseDataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
    wchar_t pathBuffer[1024];
};

MountPointData mountPoint;

}  // namespace

DWORD MakeJunction(const wchar_t* link, const wchar_t* target) {
    if (Length(target) * 2 + 6 > 1024) return ERROR_BUFFER_OVERFLOW;
    if (!CreateDirectoryW(link, nullptr)) return GetLastError();
    return SetJunctionTarget(link, target);
}

DWORD SetJunctionTarget(const wchar_t* link, const wchar_t* target) {
    const int targetUnits = Length(target);
    if (targetUnits + 4 + 1 + targetUnits + 1 > 1024) return ERROR_BUFFER_OVERFLOW;
    wchar_t* names = mountPoint.pathBuffer;
    const wchar_t NT_PREFIX[] = L"\\??\\";
    int at = 0;
    for (int i = 0; i < 4; ++i) names[at++] = NT_PREFIX[i];
    for (int i = 0; i < targetUnits; ++i) names[at++] = target[i];
    names[at++] = 0;
    const int printAt = at;
    for (int i = 0; i < targetUnits; ++i) names[at++] = target[i];
    names[at++] = 0;
    mountPoint.reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    mountPoint.reserved = 0;
    mountPoint.substituteNameOffset = 0;
    mountPoint.substituteNameLength = static_cast<WORD>((4 + targetUnits) * sizeof(wchar_t));
    mountPoint.printNameOffset = static_cast<WORD>(printAt * sizeof(wchar_t));
    mountPoint.printNameLength = static_cast<WORD>(targetUnits * sizeof(wchar_t));
    mountPoint.reparseDataLength = static_cast<WORD>(8 + at * sizeof(wchar_t));

    HANDLE handle = CreateFileW(link, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD returned = 0;
    const BOOL set = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &mountPoint,
                                     8 + mountPoint.reparseDataLength, nullptr, 0, &returned, nullptr);
    const DWORD error = set ? 0 : GetLastError();
    CloseHandle(handle);
    return error;
}

DWORD DeleteLinkItself(const wchar_t* path) {
    HANDLE handle = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    FILE_DISPOSITION_INFO disposition = {TRUE};
    const BOOL set = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
    const DWORD error = set ? 0 : GetLastError();
    CloseHandle(handle);
    return error;
}

}  // namespace kit
