#include "payload/cabinet_expansion.h"

#include "libraries/system_library.h"

CabinetLibrary cabinetLibrary;

namespace {

using FdiCreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK,
                                            int, PERF);
using FdiCopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFunction = BOOL(DIAMONDAPI*)(HFDI);

// Only these stored attributes are applied: read-only, hidden, system and
// archive. Directory, execute and name-encoding bits mean nothing on a file
// we create.
constexpr USHORT APPLIED_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE;

constexpr INT_PTR ABORT = -1;

HANDLE AsHandle(INT_PTR value) { return reinterpret_cast<HANDLE>(value); }

void* HeapBlock(SIZE_T bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }
void ReleaseBlock(void* block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// UTF-8 of `count` units of `text` (-1: up to and including its NUL) in a
// heap block with one spare byte; null when the text cannot be converted or
// no memory is left.
char* ToUtf8(const wchar_t* text, int count) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    char* block = static_cast<char*>(HeapBlock(static_cast<SIZE_T>(size) + 1));
    if (block == nullptr) {
        return nullptr;
    }
    WideCharToMultiByte(CP_UTF8, 0, text, count, block, size, nullptr, nullptr);
    block[size] = 0;
    return block;
}

INT_PTR OnCopyFile(CabinetJob& job, const FDINOTIFICATION& notification) {
    // Only the first file is ever written. Reopening the destination for a
    // later one would truncate the setup program we already have.
    if (job.destinationOpened) {
        return 0;
    }
    job.destinationOpened = true;
    job.announcedSize = static_cast<uint32_t>(notification.cb);
    job.output.Open(job.destinationPath);
    // The library writes through the duplicate and closes it; the job keeps
    // its own handle to flush the file, or to delete it if it stays partial.
    return reinterpret_cast<INT_PTR>(job.output.Duplicate());
}

// True when the file pointer stands exactly at the size the cabinet
// announced: a library that announces the close of a file whose data failed
// must not have a partial program count as written.
bool WroteAnnouncedSize(HANDLE file, uint32_t announcedSize) {
    LONG high = 0;
    const DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        return false;
    }
    return high == 0 && low == announcedSize;
}

INT_PTR OnCloseFile(CabinetJob& job, const FDINOTIFICATION& notification) {
    HANDLE file = AsHandle(notification.hf);

    // Zero in a member of FILE_BASIC_INFO leaves that value alone. Only the
    // creation time takes the stored stamp, which the cabinet keeps as local
    // time.
    FILE_BASIC_INFO info = {};
    FILETIME local;
    FILETIME utc;
    if (DosDateTimeToFileTime(notification.date, notification.time, &local) &&
        LocalFileTimeToFileTime(&local, &utc)) {
        info.CreationTime.LowPart = utc.dwLowDateTime;
        info.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
    }
    info.FileAttributes = notification.attribs & APPLIED_ATTRIBUTES;
    const bool complete = WroteAnnouncedSize(file, job.announcedSize);
    SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof(info));
    CloseHandle(file);

    job.succeeded = complete;
    // Abort: one file is all we want, and the result is `succeeded`, never
    // what FDICopy returns.
    return ABORT;
}

}  // namespace

FNALLOC(CabAlloc) { return HeapBlock(cb); }

FNFREE(CabFree) { ReleaseBlock(pv); }

FNOPEN(CabOpen) {
    (void)pmode;
    DWORD access = GENERIC_READ;
    if (oflag & 0x2) {  // _O_RDWR
        access = GENERIC_READ | GENERIC_WRITE;
    } else if (oflag & 0x1) {  // _O_WRONLY
        access = GENERIC_WRITE;
    }
    const DWORD disposition = (oflag & 0x100) ? CREATE_ALWAYS : OPEN_EXISTING;  // _O_CREAT

    const int units = MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, nullptr, 0);
    if (units <= 0) {
        return ABORT;
    }
    wchar_t* name = static_cast<wchar_t*>(HeapBlock(static_cast<SIZE_T>(units) * sizeof(wchar_t)));
    if (name == nullptr) {
        return ABORT;
    }
    MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, name, units);
    // No write sharing: the cabinet must not change under the library.
    HANDLE file = CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ReleaseBlock(name);
    return reinterpret_cast<INT_PTR>(file);
}

FNREAD(CabRead) {
    DWORD count = 0;
    if (!ReadFile(AsHandle(hf), pv, cb, &count, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return count;
}

FNWRITE(CabWrite) {
    DWORD count = 0;
    if (!WriteFile(AsHandle(hf), pv, cb, &count, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return count;
}

FNCLOSE(CabClose) { return CloseHandle(AsHandle(hf)) ? 0 : -1; }

FNSEEK(CabSeek) {
    // The C run-time's SEEK_SET, SEEK_CUR and SEEK_END are FILE_BEGIN,
    // FILE_CURRENT and FILE_END.
    return static_cast<__LONG32>(SetFilePointer(AsHandle(hf), dist, nullptr, static_cast<DWORD>(seektype)));
}

FNFDINOTIFY(CabNotify) {
    CabinetJob& job = *static_cast<CabinetJob*>(pfdin->pv);
    switch (fdint) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
        return 0;
    case fdintCOPY_FILE:
        return OnCopyFile(job, *pfdin);
    case fdintCLOSE_FILE_INFO:
        return OnCloseFile(job, *pfdin);
    default:
        // A file continued from another cabinet, a request for the next
        // cabinet, or anything unknown: this payload is a single cabinet.
        return ABORT;
    }
}

bool LoadCabinetLibrary() {
    if (cabinetLibrary.module == nullptr) {
        cabinetLibrary.module = LoadSystemLibrary(L"cabinet.dll");
        if (cabinetLibrary.module == nullptr) {
            return false;
        }
    }
    cabinetLibrary.fdiCreate = reinterpret_cast<void*>(GetProcAddress(cabinetLibrary.module, "FDICreate"));
    cabinetLibrary.fdiDestroy = reinterpret_cast<void*>(GetProcAddress(cabinetLibrary.module, "FDIDestroy"));
    cabinetLibrary.fdiCopy = reinterpret_cast<void*>(GetProcAddress(cabinetLibrary.module, "FDICopy"));
    return cabinetLibrary.fdiCreate != nullptr && cabinetLibrary.fdiDestroy != nullptr &&
           cabinetLibrary.fdiCopy != nullptr;
}

bool ExpandCabinet(const wchar_t* cabinetPath, const wchar_t* destinationPath) {
    if (!LoadCabinetLibrary()) {
        return false;
    }

    // The library wants the cabinet as a directory (with its trailing
    // backslash) and a name, both in the narrow encoding it uses: UTF-8.
    int split = lstrlenW(cabinetPath);
    while (split > 0 && cabinetPath[split] != L'\\') {
        --split;
    }
    if (split <= 0) {
        return false;
    }
    char* name = ToUtf8(cabinetPath + split + 1, -1);
    char* directory = ToUtf8(cabinetPath, split + 1);
    if (name == nullptr || directory == nullptr) {
        ReleaseBlock(directory);
        ReleaseBlock(name);
        return false;
    }

    const auto fdiCreate = reinterpret_cast<FdiCreateFunction>(cabinetLibrary.fdiCreate);
    const auto fdiCopy = reinterpret_cast<FdiCopyFunction>(cabinetLibrary.fdiCopy);
    const auto fdiDestroy = reinterpret_cast<FdiDestroyFunction>(cabinetLibrary.fdiDestroy);

    bool succeeded = false;
    ERF error = {};
    HFDI context = fdiCreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek, cpuUNKNOWN, &error);
    if (context != nullptr) {
        CabinetJob job = {destinationPath, {}, false, false, 0};
        fdiCopy(context, name, directory, 0, CabNotify, nullptr, &job);
        fdiDestroy(context);
        if (job.succeeded) {
            FlushFileBuffers(job.output.Handle());
        } else if (job.output.IsOpen()) {
            job.output.MarkForDeletion();
        }
        job.output.Close();
        succeeded = job.succeeded;
    }

    ReleaseBlock(directory);
    ReleaseBlock(name);
    return succeeded;
}
