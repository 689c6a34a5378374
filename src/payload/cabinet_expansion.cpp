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

// FDI's offsets are signed 32-bit: a resource of 2 GiB or more cannot be
// addressed by its seeks, and no cabinet is that large.
constexpr uint64_t LARGEST_CABINET = 0x7FFFFFFF;

// The library wants a directory and a name, which it joins into what it
// hands back to CabOpen. CabOpen opens nothing by name, so any name will do.
const char CABINET_NAME[] = "cabinet";

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

FNFREE(CabFree) { HeapFree(GetProcessHeap(), 0, pv); }

// The library opens only the cabinet, and only to read it: that is the
// mapped stream, whatever the name. Anything else, or a second open while the
// first is still in use (one position cannot serve two readers), is refused.
FNOPEN(CabOpen) {
    (void)pszFile;
    (void)pmode;
    CabinetStream& stream = cabinetLibrary.cabinet;
    // _O_WRONLY, _O_RDWR, _O_APPEND, _O_CREAT, _O_TRUNC, _O_EXCL: nothing
    // may write the resource.
    if ((oflag & 0x70B) != 0 || stream.data == nullptr || stream.open) {
        return ABORT;
    }
    stream.position = 0;
    stream.open = true;
    return CABINET_STREAM;
}

// At most what is left after the position; 0 at the end, as a file gives.
// The destination is the only file the library holds, and it is opened for
// writing only, so reading anything but the stream fails as a file would.
FNREAD(CabRead) {
    CabinetStream& stream = cabinetLibrary.cabinet;
    if (hf != CABINET_STREAM || !stream.open) {
        return static_cast<UINT>(-1);
    }
    const uint32_t left = stream.size - stream.position;
    const uint32_t count = cb < left ? cb : left;
    __builtin_memcpy(pv, stream.data + stream.position, count);
    stream.position += count;
    return count;
}

FNWRITE(CabWrite) {
    if (hf == CABINET_STREAM) {
        return static_cast<UINT>(-1);
    }
    DWORD count = 0;
    if (!WriteFile(AsHandle(hf), pv, cb, &count, nullptr)) {
        return static_cast<UINT>(-1);
    }
    return count;
}

FNCLOSE(CabClose) {
    if (hf != CABINET_STREAM) {
        return CloseHandle(AsHandle(hf)) ? 0 : -1;
    }
    CabinetStream& stream = cabinetLibrary.cabinet;
    const bool wasOpen = stream.open;
    stream.open = false;
    return wasOpen ? 0 : -1;
}

// Within the resource only: a target before its first byte or past its end
// is refused and leaves the position where it was.
FNSEEK(CabSeek) {
    if (hf != CABINET_STREAM) {
        // A file: the C run-time's SEEK_SET, SEEK_CUR and SEEK_END are
        // FILE_BEGIN, FILE_CURRENT and FILE_END.
        return static_cast<__LONG32>(SetFilePointer(AsHandle(hf), dist, nullptr, static_cast<DWORD>(seektype)));
    }
    const CabinetStream& stream = cabinetLibrary.cabinet;
    int64_t origin = 0;
    if (seektype == FILE_CURRENT) {
        origin = stream.position;
    } else if (seektype == FILE_END) {
        origin = stream.size;
    } else if (seektype != FILE_BEGIN) {
        return -1;
    }
    const int64_t target = origin + dist;
    if (!stream.open || target < 0 || target > stream.size) {
        return -1;
    }
    cabinetLibrary.cabinet.position = static_cast<uint32_t>(target);
    return static_cast<__LONG32>(target);
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

bool ExpandCabinet(const EmbeddedResource& cabinet, const wchar_t* destinationPath) {
    if (cabinet.size > LARGEST_CABINET || !LoadCabinetLibrary()) {
        return false;
    }
    const auto fdiCreate = reinterpret_cast<FdiCreateFunction>(cabinetLibrary.fdiCreate);
    const auto fdiCopy = reinterpret_cast<FdiCopyFunction>(cabinetLibrary.fdiCopy);
    const auto fdiDestroy = reinterpret_cast<FdiDestroyFunction>(cabinetLibrary.fdiDestroy);

    ERF error = {};
    HFDI context = fdiCreate(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek, cpuUNKNOWN, &error);
    if (context == nullptr) {
        return false;
    }
    cabinetLibrary.cabinet = {cabinet.data, static_cast<uint32_t>(cabinet.size), 0, false};
    CabinetJob job = {destinationPath, {}, false, false, 0};
    // The directory is the name's own terminator: an empty text.
    char* name = const_cast<char*>(CABINET_NAME);
    fdiCopy(context, name, name + sizeof(CABINET_NAME) - 1, 0, CabNotify, nullptr, &job);
    fdiDestroy(context);
    // Nothing may reach the resource once the expansion is over.
    cabinetLibrary.cabinet = {};
    if (job.succeeded) {
        FlushFileBuffers(job.output.Handle());
    } else if (job.output.IsOpen()) {
        job.output.MarkForDeletion();
    }
    job.output.Close();
    return job.succeeded;
}
