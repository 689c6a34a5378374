#include "payload/cabinet_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include "payload/cabinet_expansion.h"
#include "test_support.h"

namespace {

// Where the fields of a generated cabinet lie, read the plain way: enough to
// damage one of them on purpose.
struct CabinetMap {
    explicit CabinetMap(const std::string& bytes) : bytes(bytes) {}

    uint32_t Get(size_t at, size_t width) const {
        uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at, width);
        return value;
    }
    bool Reserved() const { return Get(30, 2) & 4; }
    size_t Folder() const { return Reserved() ? 40 + Get(36, 2) : 36; }
    size_t File(int index) const {
        size_t at = Get(16, 4);
        for (; index > 0; --index) {
            at = bytes.find('\0', at + 16) + 1;
        }
        return at;
    }
    size_t Block(int index) const {
        size_t at = Get(Folder(), 4);
        for (; index > 0; --index) {
            at += 8 + (Reserved() ? Get(39, 1) : 0) + Get(at + 4, 2);
        }
        return at;
    }

    const std::string& bytes;
};

void Put(std::string& bytes, size_t at, size_t width, uint32_t value) { std::memcpy(&bytes[at], &value, width); }
void Add(std::string& bytes, size_t at, size_t width, int32_t delta) {
    Put(bytes, at, width, CabinetMap(bytes).Get(at, width) + static_cast<uint32_t>(delta));
}

struct LayoutCase {
    const char* name;
    const wchar_t* cabinet;  // made by make_test_data.py
    std::function<void(std::string&)> damage;
    bool whole;
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class FirstFileIsWholeTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(FirstFileIsWholeTest, SizesMustAddUpToTheDataBlocks) {
    const LayoutCase& c = GetParam();
    std::string bytes = test::ReadBytes(test::LayoutDirectory() + c.cabinet);
    if (c.damage) {
        c.damage(bytes);
    }
    // An exact copy on the heap, so that a read past the end is a read past
    // the block.
    std::string exact(bytes);
    EXPECT_EQ(FirstFileIsWhole(reinterpret_cast<const uint8_t*>(exact.data()), exact.size()), c.whole);
}

auto FirstFileSize(int32_t delta) {
    return [delta](std::string& b) { Add(b, CabinetMap(b).File(0), 4, delta); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstFileIsWholeTest,
    testing::Values(
        LayoutCase{"OneFile", L"setup.cab", nullptr, true},
        LayoutCase{"TwoFilesInOneFolder", L"two.cab", nullptr, true},
        LayoutCase{"ReservedAreas", L"reserve.cab", nullptr, true},
        // The file table lists the second file of the data first.
        LayoutCase{"FilesListedInAnotherOrder", L"reordered.cab", nullptr, true},
        LayoutCase{"FilesListedInAnotherOrderFirstEndingPastTheFolder", L"reordered.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).File(0) + 4, 4, 1); }, false},
        LayoutCase{"FilesListedInAnotherOrderFirstCutShort", L"reordered.cab", FirstFileSize(-1), false},
        // One damaged offset with the sizes still adding up: the first file
        // would be read from the middle of the data.
        LayoutCase{"FirstOfTwoMovedIntoItsFolder", L"two.cab",
                   [](std::string& b) {
                       const size_t first = CabinetMap(b).File(0);
                       Put(b, first + 4, 4, CabinetMap(b).Get(first, 4) / 2);
                   },
                   false},
        LayoutCase{"SecondOfTwoMovedOntoTheFirst", L"two.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(1) + 4, 4, 0); }, false},
        LayoutCase{"FilesListedInAnotherOrderFirstMovedOntoTheOther", L"reordered.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(0) + 4, 4, 0); }, false},
        // Moved by one byte: the other file starts before the first and
        // reaches into it.
        LayoutCase{"FilesListedInAnotherOrderFirstStartingInsideTheOther", L"reordered.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(0) + 4, 4, 1); }, false},
        LayoutCase{"ThreeFiles", L"three.cab", nullptr, true},
        // The first file lies over the middle one; the last one is clear of
        // it, so only an overlap kept from an earlier entry shows.
        LayoutCase{"FirstOfThreeMovedOntoTheMiddle", L"three.cab",
                   [](std::string& b) {
                       const CabinetMap map(b);
                       Put(b, map.File(0) + 4, 4, map.Get(map.File(1) + 4, 4));
                   },
                   false},
        // Offsets count from the start of their own folder's data: files of
        // other folders start at 0 as well and lie over nothing.
        LayoutCase{"TwoFolders", L"twofolders.cab", nullptr, true},
        LayoutCase{"TwoFoldersFirstListedInTheSecond", L"twofolders_reordered.cab", nullptr, true},
        LayoutCase{"TwoFoldersFirstCutShort", L"twofolders.cab", FirstFileSize(-1), false},
        LayoutCase{"TwoFoldersFirstListedInTheSecondCutShort", L"twofolders_reordered.cab", FirstFileSize(-1),
                   false},
        LayoutCase{"FileCutShort", L"shortfile.cab", nullptr, false},
        LayoutCase{"FileOneByteShort", L"setup.cab", FirstFileSize(-1), false},
        LayoutCase{"FileOneByteLong", L"setup.cab", FirstFileSize(1), false},
        LayoutCase{"FirstOfTwoCutShort", L"two.cab", FirstFileSize(-0x100), false},
        LayoutCase{"SecondOfTwoCutShort", L"two.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).File(1), 4, -0x100); }, false},
        LayoutCase{"ReservedAreasFileCutShort", L"reserve.cab", FirstFileSize(-0x100), false},
        LayoutCase{"FirstFileNotAtTheFolderStart", L"setup.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(0) + 4, 4, 0x100); }, false},
        LayoutCase{"FirstFileInAFolderThatIsNot", L"setup.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(0) + 8, 2, 1); }, false},
        LayoutCase{"SecondFileInAFolderThatIsNot", L"two.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).File(1) + 8, 2, 1); }, false},
        LayoutCase{"NoFile", L"nofile.cab", nullptr, false},
        // No file and no data: nothing is announced and nothing is held, so
        // only the count of files itself refuses it.
        LayoutCase{"NoFileAndNoBlocks", L"nofile.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).Folder() + 4, 2, 0); }, false},
        LayoutCase{"OneBlockMissing", L"setup.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).Folder() + 4, 2, -1); }, false},
        LayoutCase{"OneBlockTooMany", L"setup.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).Folder() + 4, 2, 1); }, false},
        LayoutCase{"BlockExpandsToLess", L"setup.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).Block(3) + 6, 2, -1); }, false},
        LayoutCase{"BlockStoresMore", L"setup.cab",
                   [](std::string& b) { Add(b, CabinetMap(b).Block(3) + 4, 2, 0x100); }, false},
        LayoutCase{"FirstBlockBeyondTheEnd", L"setup.cab",
                   [](std::string& b) { Put(b, CabinetMap(b).Folder(), 4, static_cast<uint32_t>(b.size())); },
                   false},
        LayoutCase{"FileTableBeyondTheEnd", L"setup.cab",
                   [](std::string& b) { Put(b, 16, 4, static_cast<uint32_t>(b.size() - 8)); }, false},
        LayoutCase{"NameWithoutItsEnd", L"setup.cab",
                   [](std::string& b) { b.resize(CabinetMap(b).File(0) + 20); }, false},
        LayoutCase{"CutInTheLastBlock", L"setup.cab", [](std::string& b) { b.resize(b.size() - 1); }, false},
        LayoutCase{"CutInTheHeader", L"setup.cab", [](std::string& b) { b.resize(35); }, false},
        LayoutCase{"CutInTheReservedSizes", L"reserve.cab", [](std::string& b) { b.resize(38); }, false},
        LayoutCase{"NoSignature", L"setup.cab", [](std::string& b) { b[0] = 'X'; }, false},
        LayoutCase{"ContinuedIntoANextCabinet", L"setup.cab", [](std::string& b) { Add(b, 30, 2, 2); }, false},
        // Continued from a previous cabinet: its tables are read as they
        // stand, so only the flag itself refuses it.
        LayoutCase{"ContinuedFromAPreviousCabinet", L"setup.cab", [](std::string& b) { Add(b, 30, 2, 1); }, false},
        LayoutCase{"NoBytes", L"empty.bin", nullptr, false}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// The layout is read the way the system's library reads it: a cabinet with
// reserved areas, which the check takes as whole, also expands.
TEST(CabinetLayout, ReservedAreasExpandAsTheCheckReadsThem) {
    test::ScratchDirectory folder;
    const std::string cabinet = test::ReadBytes(test::LayoutDirectory() + L"reserve.cab");
    const std::wstring destination = folder / L"setup.exe";
    ASSERT_TRUE(ExpandCabinet({reinterpret_cast<const uint8_t*>(cabinet.data()), cabinet.size()}, destination.c_str()));
    EXPECT_TRUE(test::ReadBytes(destination) == test::ReadBytes(test::LayoutDirectory() + L"first.bin"));
}

}  // namespace
