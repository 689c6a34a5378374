// FirstFileIsWhole on any bytes, held in a heap block of exactly their size,
// so that a read past the cabinet's end is a heap overflow.
//
// Input: the cabinet's bytes as they stand. The seeds are small cabinets
// (one file, two files in either order, reserved areas) so that mutations
// start from a header that parses.

#include "fuzz_support.h"
#include "payload/cabinet_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* exact = static_cast<uint8_t*>(malloc(size));
    if (exact == nullptr) {
        abort();
    }
    if (size != 0) {
        memcpy(exact, data, size);
    }
    const bool whole = FirstFileIsWhole(exact, size);
    // What a whole cabinet's check read lies inside it, so bytes appended
    // after it cannot change the answer.
    uint8_t* longer = static_cast<uint8_t*>(malloc(size + 16));
    if (longer == nullptr) {
        abort();
    }
    if (size != 0) {
        memcpy(longer, data, size);
    }
    memset(longer + size, 0xA5, 16);
    if (whole && !FirstFileIsWhole(longer, size + 16)) {
        Finding("a whole cabinet stopped being whole with 16 bytes after it (%zu bytes)", size);
    }
    free(longer);
    free(exact);
    return 0;
}
