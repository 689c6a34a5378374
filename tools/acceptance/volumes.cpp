#include "acceptance/volumes.h"

namespace kit {

[[gnu::noinline]] bool MakeFolderOnVolumeWithoutAcls(Text<PATH_UNITS>& folder, Text<64>& fileSystem,
                                                     Text<700>& why) {
    why.Clear();
    const DWORD drives = GetLogicalDrives();
    // A: and B: are floppy drives, which a check would only wait on.
    for (int letter = 2; letter < 26; ++letter) {
        if ((drives & (1u << letter)) == 0) continue;
        wchar_t root[4] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', 0};
        const UINT type = GetDriveTypeW(root);
        if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) continue;
        DWORD flags = 0;
        wchar_t name[32] = {};
        if (why.length > 0) why.Add(L"; ");
        why.Add(root);
        if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, name, 32)) {
            why.Add(L" cannot be asked");
            continue;
        }
        why.Add(L" ");
        why.Add(name);
        if ((flags & FILE_PERSISTENT_ACLS) != 0) {
            why.Add(L" keeps ACLs");
            continue;
        }
        folder.Clear();
        folder.Add(root);
        folder.Add(L"acceptance-no-acl");
        RemoveTree(folder.Get());
        if (!CreateDirectoryW(folder.Get(), nullptr)) {
            why.Add(L" keeps no ACLs but cannot be written (error ");
            why.AddHex(GetLastError());
            why.Add(L")");
            continue;
        }
        fileSystem.Clear();
        fileSystem.Add(name);
        return true;
    }
    if (why.length == 0) why.Add(L"no fixed or removable volume");
    return false;
}

}  // namespace kit
