// FirstFileIsWhole on any bytes, held in a heap block of exactly their size,
// so that a read past the cabinet's end is a heap overflow; and, for every
// cabinet it takes as whole, what that promises, read off the bytes here in
// a way of this target's own.
//
// Input: the cabinet's bytes as they stand. The seeds are small cabinets
// (one file, two files in either order, three files, two folders, reserved
// areas) so that mutations start from a header that parses.

#include "fuzz_support.h"
#include "payload/cabinet_layout.h"

namespace {

struct FileEntry {
    uint64_t start;  // in its folder's expanded data
    uint64_t end;
    uint32_t folder;
};

// What the cabinet's tables say, as far as the promise of a whole first file
// goes. `error` names the first table that could not be read whole.
struct CabinetReading {
    const char* error = nullptr;
    std::vector<FileEntry> files;
    uint64_t firstFolderBytes = 0;  // what the first file's folder's blocks expand to
};

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Holds(uint64_t at, uint64_t count) const { return at <= size_ && count <= size_ - at; }
    // Little-endian, `width` bytes at `at`; the caller has asked Holds.
    uint64_t Field(uint64_t at, unsigned width) const {
        uint64_t value = 0;
        for (unsigned i = width; i > 0; --i) {
            value = (value << 8) | data_[at + i - 1];
        }
        return value;
    }
    // The first NUL at or after `at`, or the size when there is none.
    uint64_t NulFrom(uint64_t at) const {
        const void* nul = at < size_ ? memchr(data_ + at, 0, size_ - at) : nullptr;
        return nul == nullptr ? size_ : static_cast<const uint8_t*>(nul) - data_;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

CabinetReading Read(const Bytes& bytes) {
    CabinetReading reading;
    if (!bytes.Holds(0, 36) || bytes.Field(0, 4) != 0x4643534D) {
        reading.error = "no cabinet header";
        return reading;
    }
    const uint64_t flags = bytes.Field(30, 2);
    if (flags & 3) {
        reading.error = "part of a cabinet set";
        return reading;
    }
    uint64_t folderTable = 36;
    uint64_t folderEntryBytes = 8;
    uint64_t blockHeaderBytes = 8;
    if (flags & 4) {
        if (!bytes.Holds(36, 4)) {
            reading.error = "reserved sizes cut off";
            return reading;
        }
        folderTable += 4 + bytes.Field(36, 2);
        folderEntryBytes += bytes.Field(38, 1);
        blockHeaderBytes += bytes.Field(39, 1);
    }

    const uint64_t fileCount = bytes.Field(28, 2);
    if (fileCount == 0) {
        reading.error = "no file";
        return reading;
    }
    uint64_t at = bytes.Field(16, 4);
    for (uint64_t i = 0; i < fileCount; ++i) {
        // Sixteen bytes of fields, then the name up to its NUL.
        const uint64_t nul = bytes.NulFrom(at + 16);
        if (!bytes.Holds(at, 16) || !bytes.Holds(nul, 1)) {
            reading.error = "file table cut off";
            return reading;
        }
        const uint64_t start = bytes.Field(at + 4, 4);
        reading.files.push_back({start, start + bytes.Field(at, 4), static_cast<uint32_t>(bytes.Field(at + 8, 2))});
        at = nul + 1;
    }

    const uint32_t folder = reading.files[0].folder;
    if (folder >= bytes.Field(26, 2)) {
        reading.error = "the first file's folder is not in the folder table";
        return reading;
    }
    const uint64_t entry = folderTable + folder * folderEntryBytes;
    if (!bytes.Holds(entry, 8)) {
        reading.error = "folder entry cut off";
        return reading;
    }
    uint64_t block = bytes.Field(entry, 4);
    for (uint64_t i = bytes.Field(entry + 4, 2); i > 0; --i) {
        if (!bytes.Holds(block, 8)) {
            reading.error = "data block header cut off";
            return reading;
        }
        const uint64_t stored = bytes.Field(block + 4, 2);
        reading.firstFolderBytes += bytes.Field(block + 6, 2);
        block += blockHeaderBytes + stored;
        if (!bytes.Holds(0, block)) {
            reading.error = "data block cut off";
            return reading;
        }
    }
    return reading;
}

// The promise of a whole first file: its folder's data is all there, the
// first file's declared range lies inside it, no other file of that folder
// shares a byte with it, and the folder's files announce together exactly
// what its data blocks hold.
void CheckWhole(const CabinetReading& reading, size_t size) {
    if (reading.error != nullptr) {
        Finding("a cabinet taken as whole, but %s (%zu bytes)", reading.error, size);
    }
    const FileEntry& first = reading.files[0];
    if (first.end > reading.firstFolderBytes) {
        Finding("the first file, bytes %llu to %llu, ends past its folder's %llu bytes",
                static_cast<unsigned long long>(first.start), static_cast<unsigned long long>(first.end),
                static_cast<unsigned long long>(reading.firstFolderBytes));
    }
    uint64_t announced = 0;
    for (size_t i = 0; i < reading.files.size(); ++i) {
        const FileEntry& other = reading.files[i];
        if (other.folder != first.folder) {
            continue;
        }
        announced += other.end - other.start;
        if (other.end > reading.firstFolderBytes) {
            Finding("file %zu of the first file's folder ends past its data", i);
        }
        const uint64_t sharedFrom = other.start > first.start ? other.start : first.start;
        const uint64_t sharedTo = other.end < first.end ? other.end : first.end;
        if (i != 0 && sharedFrom < sharedTo) {
            Finding("file %zu (bytes %llu to %llu) lies over the first file (bytes %llu to %llu)", i,
                    static_cast<unsigned long long>(other.start), static_cast<unsigned long long>(other.end),
                    static_cast<unsigned long long>(first.start), static_cast<unsigned long long>(first.end));
        }
    }
    if (announced != reading.firstFolderBytes) {
        Finding("the first file's folder holds %llu bytes, its files announce %llu",
                static_cast<unsigned long long>(reading.firstFolderBytes),
                static_cast<unsigned long long>(announced));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* exact = static_cast<uint8_t*>(malloc(size));
    if (exact == nullptr) {
        abort();
    }
    if (size != 0) {
        memcpy(exact, data, size);
    }
    const bool whole = FirstFileIsWhole(exact, size);
    if (whole) {
        CheckWhole(Read(Bytes(data, size)), size);
    }
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
