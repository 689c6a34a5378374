#pragma once

#include <stdint.h>

// True when the cabinet in `data` (its `size` bytes) has a first file that
// lies wholly inside its folder's data and whose folder holds, byte for byte,
// what the folder's files announce together; with one file, that file is the
// whole folder.
//
// The data blocks carry checksums that the cabinet library verifies, but the
// file table carries none: a damaged size in it makes the library write
// exactly that many bytes and report the file complete, which would start a
// cut-off setup program. The sizes are checked here against the data blocks'
// own counts before anything is written. Every read stays inside `size`.
bool FirstFileIsWhole(const uint8_t* data, uint64_t size);
