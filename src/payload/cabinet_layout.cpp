#include "payload/cabinet_layout.h"

namespace {

// Fields of the cabinet header (CFHEADER), by offset.
constexpr uint32_t HEADER_BYTES = 36;
constexpr uint32_t FILES_OFFSET_AT = 16;
constexpr uint32_t FOLDER_COUNT_AT = 26;
constexpr uint32_t FILE_COUNT_AT = 28;
constexpr uint32_t FLAGS_AT = 30;
constexpr uint16_t FLAG_PREVIOUS_CABINET = 0x1;
constexpr uint16_t FLAG_NEXT_CABINET = 0x2;
constexpr uint16_t FLAG_RESERVE_PRESENT = 0x4;
// A folder entry (CFFOLDER): first data block, block count, compression,
// then the folder's reserved bytes.
constexpr uint32_t FOLDER_BYTES = 8;
// A file entry (CFFILE): size, offset in its folder, folder index, date,
// time, attributes, then the NUL-terminated name.
constexpr uint32_t FILE_BYTES = 16;
// A data block (CFDATA): checksum, stored bytes, expanded bytes, then its
// reserved bytes and the stored bytes.
constexpr uint32_t BLOCK_BYTES = 8;

// Little-endian reads at `offset`, checked against the end.
class CabinetBytes {
public:
    CabinetBytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}

    bool Has(uint64_t offset, uint64_t count) const { return offset <= size_ && count <= size_ - offset; }
    uint32_t Byte(uint64_t offset) const { return data_[offset]; }
    // Both targets are little-endian and load unaligned values directly.
    uint32_t Word(uint64_t offset) const {
        uint16_t value;
        __builtin_memcpy(&value, data_ + offset, sizeof(value));
        return value;
    }
    uint32_t Long(uint64_t offset) const {
        uint32_t value;
        __builtin_memcpy(&value, data_ + offset, sizeof(value));
        return value;
    }

private:
    const uint8_t* data_;
    uint64_t size_;
};

// The offset just past the NUL that ends the name starting at `offset`, or 0
// when the name runs off the end.
uint64_t PastName(const CabinetBytes& cabinet, uint64_t offset) {
    for (; cabinet.Has(offset, 1); ++offset) {
        if (cabinet.Byte(offset) == 0) {
            return offset + 1;
        }
    }
    return 0;
}

}  // namespace

bool FirstFileIsWhole(const uint8_t* data, uint64_t size) {
    const CabinetBytes cabinet(data, size);
    if (!cabinet.Has(0, HEADER_BYTES) || cabinet.Long(0) != 0x4643534D) {  // "MSCF"
        return false;
    }
    const uint32_t flags = cabinet.Word(FLAGS_AT);
    // A cabinet that continues into another is never expanded (the expansion
    // refuses to ask for the next one), so it is refused here already.
    if (flags & (FLAG_PREVIOUS_CABINET | FLAG_NEXT_CABINET)) {
        return false;
    }
    uint64_t folders = HEADER_BYTES;
    uint32_t folderReserve = 0;
    uint32_t blockReserve = 0;
    if (flags & FLAG_RESERVE_PRESENT) {
        if (!cabinet.Has(HEADER_BYTES, 4)) {
            return false;
        }
        folderReserve = cabinet.Byte(HEADER_BYTES + 2);
        blockReserve = cabinet.Byte(HEADER_BYTES + 3);
        folders += 4 + cabinet.Word(HEADER_BYTES);
    }

    // The first file's folder, where in it the first file lies, and what all
    // of that folder's files announce. The file table need not list a
    // folder's files in the order of their data, but they must tile it: each
    // ends inside it, they add up to it, and none lies over the first, so
    // that a damaged offset cannot make the first file part of another.
    const uint32_t fileCount = cabinet.Word(FILE_COUNT_AT);
    uint64_t file = cabinet.Long(FILES_OFFSET_AT);
    uint32_t folder = 0;
    uint64_t firstStart = 0;
    uint64_t firstEnd = 0;
    uint64_t lastEnd = 0;
    uint64_t announced = 0;
    bool overFirst = false;
    for (uint32_t index = 0; index < fileCount; ++index) {
        if (!cabinet.Has(file, FILE_BYTES)) {
            return false;
        }
        const uint32_t fileFolder = cabinet.Word(file + 8);
        const uint64_t start = cabinet.Long(file + 4);
        const uint64_t end = start + cabinet.Long(file);
        if (index == 0) {
            firstStart = start;
            firstEnd = end;
            folder = fileFolder;
        } else if (fileFolder == folder) {
            overFirst = overFirst || (start < firstEnd && firstStart < end);
        }
        if (fileFolder == folder) {
            announced += end - start;
            lastEnd = end > lastEnd ? end : lastEnd;
        }
        file = PastName(cabinet, file + FILE_BYTES);
        if (file == 0) {
            return false;
        }
    }
    if (fileCount == 0 || folder >= cabinet.Word(FOLDER_COUNT_AT)) {
        return false;
    }

    // What the folder's data blocks expand to.
    const uint64_t entry = folders + static_cast<uint64_t>(folder) * (FOLDER_BYTES + folderReserve);
    if (!cabinet.Has(entry, FOLDER_BYTES)) {
        return false;
    }
    uint64_t block = cabinet.Long(entry);
    const uint32_t blockCount = cabinet.Word(entry + 4);
    uint64_t expanded = 0;
    for (uint32_t index = 0; index < blockCount; ++index) {
        if (!cabinet.Has(block, BLOCK_BYTES)) {
            return false;
        }
        expanded += cabinet.Word(block + 6);
        block += BLOCK_BYTES + blockReserve + cabinet.Word(block + 4);
        if (!cabinet.Has(0, block)) {
            return false;
        }
    }
    return expanded == announced && lastEnd <= expanded && !overFirst;
}
