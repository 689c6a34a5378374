#pragma once

#include <windows.h>
#include <fdi.h>
#include <stdint.h>

#include "payload/output_file.h"

// The system cabinet library, loaded on first use by full path and never
// released. The only process-wide mutable state of the stub; it starts all
// null without any constructor running.
struct CabinetLibrary {
    HMODULE module;
    void* fdiCreate;
    void* fdiCopy;
    void* fdiDestroy;
};
extern CabinetLibrary cabinetLibrary;

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

// Writes the first file of the cabinet at `cabinetPath` to `destinationPath`
// with its stored creation time and attributes. True only when that file was
// written completely; otherwise a destination it created is gone once its
// handle closes.
bool ExpandCabinet(const wchar_t* cabinetPath, const wchar_t* destinationPath);

bool LoadCabinetLibrary();

FNALLOC(CabAlloc);
FNFREE(CabFree);
FNOPEN(CabOpen);
FNREAD(CabRead);
FNWRITE(CabWrite);
FNCLOSE(CabClose);
FNSEEK(CabSeek);
FNFDINOTIFY(CabNotify);
