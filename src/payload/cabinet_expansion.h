#pragma once

#include <windows.h>
#include <fdi.h>
#include <stdint.h>

#include "payload/output_file.h"
#include "payload/resource_catalog.h"

// The cabinet as the library reads it: the setup resource's bytes where the
// image maps them (never copied or written), and how far the library is.
struct CabinetStream {
    const uint8_t* data;
    uint32_t size;
    uint32_t position;
    bool open;
};

// The system cabinet library, loaded on first use by full path and never
// released, and the cabinet it is reading during one expansion. The only
// process-wide mutable state of the stub; it starts all null without any
// constructor running.
struct CabinetLibrary {
    HMODULE module;
    void* fdiCreate;
    void* fdiCopy;
    void* fdiDestroy;
    // The library's file callbacks get nothing but a handle value, so the
    // one stream they can name lives here, beside the library it serves. It
    // holds the resource only while ExpandCabinet runs.
    CabinetStream cabinet;
};
extern CabinetLibrary cabinetLibrary;

// The handle value that names the stream. Kernel handles are multiples of
// four and the system reads the two low bits as tags, so 1 is never a handle
// that the library could also hold, and were it ever passed to the system by
// mistake, the system would take it for the null handle and touch nothing.
constexpr INT_PTR CABINET_STREAM = 1;

// One expansion, alive on the stack for the duration of FDICopy; its address
// comes back to CabNotify in every notification.
struct CabinetJob {
    const wchar_t* destinationPath;
    OutputFile output;
    bool succeeded;
    // Not every cabinet library stops after the first file or withholds the
    // close of a file whose data failed, so the job itself remembers that the
    // destination was handed out once and how long the cabinet said the file
    // was.
    bool destinationOpened;
    uint32_t announcedSize;
};

// Writes the first file of the cabinet held by `cabinet` (the mapped setup
// resource) to `destinationPath` with its stored creation time and
// attributes. The destination is the only file it creates. True only when
// that file was written completely; otherwise a destination it created is
// gone once its handle closes.
bool ExpandCabinet(const EmbeddedResource& cabinet, const wchar_t* destinationPath);

bool LoadCabinetLibrary();

FNALLOC(CabAlloc);
FNFREE(CabFree);
FNOPEN(CabOpen);
FNREAD(CabRead);
FNWRITE(CabWrite);
FNCLOSE(CabClose);
FNSEEK(CabSeek);
FNFDINOTIFY(CabNotify);
