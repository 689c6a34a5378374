#pragma once

#include <windows.h>

#include "text/bounded_text.h"

// The one way files are created in the scratch directory. Each file is opened
// with delete access, so a writer whose work fails can mark it for deletion
// through the same handle before closing it: no partial file survives.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates (or truncates) the file for writing, closing any earlier file
    // first. False for a path of 260 units or more (no last error set) or
    // when the system refuses (its last error).
    bool Open(const wchar_t* path);
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    // The file goes when its last handle, duplicates included, closes.
    bool MarkForDeletion();
    // A second handle for a library that closes what it is given; the
    // caller owns it. INVALID_HANDLE_VALUE when not open or on failure.
    HANDLE Duplicate();
    HANDLE Handle() const { return handle_; }
    void Close();

private:
    PathBuffer path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
