#include "acceptance/intruder.h"

#include "acceptance/work_folder.h"

namespace kit {

namespace {

constexpr DWORD STOP_WAIT_MS = 10000;
const wchar_t WAKE[] = L"intruder-wake";

// "QX_" and five hexadecimal digits and ".tmp": a scratch directory's name,
// never one of the intruder's own renamed ones.
bool IsScratchName(const wchar_t* name, int units) {
    if (units != 12 || name[0] != L'Q' || name[1] != L'X' || name[2] != L'_') return false;
    return name[8] == L'.' && name[9] == L't' && name[10] == L'm' && name[11] == L'p';
}

void GoFor(Intruder& intruder, const wchar_t* name, int units, Text<16>& lastPlanted) {
    Text<16> found;
    found.Clear();
    found.AddUnits(name, units);
    // The directory it put there itself appears as new too.
    if (Equal(found.Get(), lastPlanted.Get())) return;
    Path path(intruder.folder, found.Get());
    Path away(path.Get());
    away.Add(L"-swapped");
    ++intruder.seen;
    if (!MoveFileExW(path.Get(), away.Get(), 0)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            ++intruder.refused;
        } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            ++intruder.missed;
        } else {
            ++intruder.otherwise;
            intruder.error = error;
        }
        return;
    }
    ++intruder.swapped;
    lastPlanted.Clear();
    lastPlanted.Add(found.Get());
    CreateDirectoryW(path.Get(), nullptr);
    Path marker(path.Get(), L"intruder.txt");
    WriteSmallFile(marker.Get(), "the intruder's");
}

DWORD WINAPI Watch(void* parameter) {
    Intruder& intruder = *static_cast<Intruder*>(parameter);
    HANDLE folder = CreateFileW(intruder.folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        intruder.watchError = GetLastError();
        return 0;
    }
    alignas(DWORD) static unsigned char changes[16384];
    Text<16> lastPlanted;
    lastPlanted.Clear();
    while (intruder.stop == 0) {
        DWORD bytes = 0;
        if (!ReadDirectoryChangesW(folder, changes, sizeof(changes), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &bytes,
                                   nullptr, nullptr)) {
            intruder.watchError = GetLastError();
            break;
        }
        // No bytes: more changed than the buffer holds; the next ones count.
        for (DWORD offset = 0; bytes != 0;) {
            const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(changes + offset);
            const int units = static_cast<int>(change->FileNameLength / sizeof(wchar_t));
            if (change->Action == FILE_ACTION_ADDED && IsScratchName(change->FileName, units)) {
                GoFor(intruder, change->FileName, units, lastPlanted);
            }
            if (change->NextEntryOffset == 0) break;
            offset += change->NextEntryOffset;
        }
    }
    CloseHandle(folder);
    return 0;
}

}  // namespace

void StartIntruder(Intruder& intruder, const wchar_t* folder) {
    intruder = {folder, 0, nullptr, 0, 0, 0, 0, 0, 0, 0};
    intruder.thread = CreateThread(nullptr, 0, Watch, &intruder, 0, nullptr);
    if (intruder.thread == nullptr) intruder.watchError = GetLastError();
    // Time for the watch to be in place before the first run.
    Sleep(500);
}

void StopIntruder(Intruder& intruder, Facts& facts, const wchar_t* prefix) {
    if (intruder.thread != nullptr) {
        intruder.stop = 1;
        // A change in the folder wakes the watch to see that it must stop.
        Path wake(intruder.folder, WAKE);
        CreateDirectoryW(wake.Get(), nullptr);
        if (WaitForSingleObject(intruder.thread, STOP_WAIT_MS) != WAIT_OBJECT_0 && intruder.watchError == 0) {
            intruder.watchError = WAIT_TIMEOUT;
        }
        RemoveDirectoryW(wake.Get());
        CloseHandle(intruder.thread);
    }
    facts.SetNumber(prefix, L"seen", intruder.seen);
    facts.SetNumber(prefix, L"swapped", intruder.swapped);
    facts.SetNumber(prefix, L"refused", intruder.refused);
    facts.SetNumber(prefix, L"missed", intruder.missed);
    facts.SetNumber(prefix, L"refused-otherwise", intruder.otherwise);
    facts.SetNumber(prefix, L"error", intruder.error);
    facts.SetNumber(prefix, L"watch-error", intruder.watchError);
}

}  // namespace kit
