#include "payload/payload_unpacking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"

namespace {

using test::LayoutDirectory;
using test::LayoutModule;

constexpr RunOutcome OK = {EXIT_OK, 0};

// A scratch directory standing in for the work directory, and the buffers
// ExtractPayload fills.
class UnpackingTest : public testing::Test {
protected:
    UnpackingTest() { workDirectory.Copy(folder.Path().c_str()); }

    RunOutcome Extract(const wchar_t* layout) {
        LayoutModule module(layout);
        return ExtractPayload(module.Get(), InstallerNames(), workDirectory, setupPath, archiveName, archiveType);
    }

    // Removing the cabinet never has to wait in these tests; if it did, the
    // test would not sit through the pauses.
    SEAM(Sleep)::Guard noPause = SEAM(Sleep)::Replace([](DWORD) {});
    test::ScratchDirectory folder;
    PathBuffer workDirectory;
    PathBuffer setupPath;
    PathBuffer archiveName;
    TypeNameBuffer archiveType;
};

// --- Outcomes over resource layouts ------------------------------------------

struct LayoutCase {
    const char* name;
    const wchar_t* layout;
    RunOutcome expected;
    // On success: the file in the work directory, the data file it must
    // equal, and the archive's name and type.
    const wchar_t* setupFile = nullptr;
    const wchar_t* setupData = nullptr;
    std::wstring archiveName = {};
    const wchar_t* archiveType = nullptr;
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class ExtractPayloadTest : public UnpackingTest, public testing::WithParamInterface<LayoutCase> {};

TEST_P(ExtractPayloadTest, LeavesTheSetupProgramOrNothing) {
    const LayoutCase& c = GetParam();
    EXPECT_EQ(Extract(c.layout), c.expected);
    if (c.expected == OK) {
        EXPECT_EQ(std::wstring(setupPath.Text()), folder / c.setupFile);
        EXPECT_TRUE(test::ReadBytes(folder / c.setupFile) == test::ReadBytes(LayoutDirectory() + c.setupData))
            << "the setup program differs from " << test::Narrow(c.setupData);
        EXPECT_EQ(std::wstring(archiveName.Text()), c.archiveName);
        EXPECT_STREQ(archiveType.Text(), c.archiveType);
        // The setup program is all there is: a cabinet is expanded from the
        // resource, never written itself.
        EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{c.setupFile});
    } else {
        EXPECT_TRUE(test::Entries(folder.Path()).empty());
    }
}

const std::wstring ARCHIVE = L"BRISEL.PACKED.7Z";

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractPayloadTest,
    testing::Values(
        LayoutCase{"Shipped", L"shipped", OK, L"setup.exe", L"setup.bin", ARCHIVE, L"B7"},
        LayoutCase{"UncompressedSetupLandsAsSetupExe", L"uncompressed_setup", OK, L"setup.exe", L"setup.bin",
                   ARCHIVE, L"B7"},
        LayoutCase{"SetupInTheArchiveTypeKeepsItsNameUnexpanded", L"setup_beside_archive", OK, L"SETUP.EX_",
                   L"setup.cab", ARCHIVE, L"B7"},
        LayoutCase{"ArchiveNameFollowedBySetup", L"archive_named_setup", OK, L"setup.exe", L"setup.bin",
                   L"BRISELSETUP", L"B7"},
        LayoutCase{"IntegerIdentifiersAreNoPayload", L"integer_ids", OK, L"setup.exe", L"setup.bin", ARCHIVE,
                   L"B7"},
        LayoutCase{"ArchiveNameOf259Units", L"archive_name_259", OK, L"setup.exe", L"setup.bin",
                   L"BRISEL" + std::wstring(253, L'X'), L"B7"},
        // A cabinet's own name is never a file name: whatever it is, the
        // cabinet expands to setup.exe.
        LayoutCase{"CabinetNamedLikeItsTarget", L"cabinet_named_setup_exe", OK, L"setup.exe", L"setup.bin",
                   ARCHIVE, L"B7"},
        LayoutCase{"CabinetNamedLikeItsTargetWithATrailingDot", L"cabinet_named_setup_exe_dot", OK, L"setup.exe",
                   L"setup.bin", ARCHIVE, L"B7"},
        LayoutCase{"CabinetNamedLikeItsTargetWithATrailingBlank", L"cabinet_named_setup_exe_blank", OK,
                   L"setup.exe", L"setup.bin", ARCHIVE, L"B7"},
        // Only a cabinet is expanded onto setup.exe: a setup program stored
        // plain is run under its own name, whatever that is.
        LayoutCase{"PlainSetupNamedLikeTheExpansionTargetKeepsItsName", L"plain_named_setup_exe", OK, L"SETUP.EXE",
                   L"fixed_exit.exe", ARCHIVE, L"B7"},
        // The first entry of the file table is the second file of the data.
        LayoutCase{"CabinetListingItsFilesInAnotherOrder", L"reordered_cabinet", OK, L"setup.exe", L"second.bin",
                   ARCHIVE, L"B7"},
        // Each folder's offsets start at 0; the first file is expanded
        // whole from its own folder.
        LayoutCase{"CabinetOfTwoFolders", L"two_folder_cabinet", OK, L"setup.exe", L"first.bin", ARCHIVE, L"B7"},
        LayoutCase{"CabinetOfTwoFoldersListingTheSecondFirst", L"two_folder_cabinet_reordered", OK, L"setup.exe",
                   L"second.bin", ARCHIVE, L"B7"},
        LayoutCase{"SecondSetupInTheSameType", L"two_setups_one_type",
                   {EXIT_SETUP_RESOURCE_FAILED, ERROR_TOO_MANY_NAMES}},
        LayoutCase{"SecondSetupInALaterType", L"two_setups_two_types",
                   {EXIT_SETUP_RESOURCE_FAILED, ERROR_TOO_MANY_NAMES}},
        LayoutCase{"SecondSetupInTheArchiveType", L"two_setups_beside_archive",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_TOO_MANY_NAMES}},
        LayoutCase{"SecondArchiveInTheSameType", L"two_archives_one_type",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_TOO_MANY_NAMES}},
        LayoutCase{"SecondArchiveInALaterType", L"two_archives_two_types",
                   {EXIT_SETUP_RESOURCE_FAILED, ERROR_TOO_MANY_NAMES}},
        LayoutCase{"StrangerInTheArchiveType", L"stranger_beside_archive",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        LayoutCase{"StrangerInTheCabinetTypeAfterTheArchive", L"stranger_beside_setup",
                   {EXIT_SETUP_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        LayoutCase{"StrangerBesideTheArchiveInTheCabinetType", L"stranger_in_cabinet_type",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        LayoutCase{"NoArchive", L"no_archive", {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND}},
        LayoutCase{"NoSetup", L"no_setup", {EXIT_SETUP_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND}},
        LayoutCase{"EmptyResourceHidesTheNamesAfterIt", L"zero_size_first",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND}},
        LayoutCase{"ArchiveNameOf260Units", L"archive_name_260",
                   {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILENAME_EXCED_RANGE}},
        LayoutCase{"SetupNameOf260Units", L"setup_name_260",
                   {EXIT_SETUP_RESOURCE_FAILED, ERROR_FILENAME_EXCED_RANGE}},
        LayoutCase{"SetupNameThatNoPathHolds", L"setup_name_259", {EXIT_PATH_TOO_LONG, 0}},
        LayoutCase{"DamagedCabinet", L"damaged_cabinet", {EXIT_SETUP_RESOURCE_FAILED, 0}},
        LayoutCase{"CabinetWhoseFileTableDoesNotAddUp", L"short_file_cabinet", {EXIT_SETUP_RESOURCE_FAILED, 0}},
        LayoutCase{"CabinetWhoseDataRunsPastTheResource", L"truncated_cabinet", {EXIT_SETUP_RESOURCE_FAILED, 0}}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

struct UnsafeNameCase {
    const char* name;
    const wchar_t* layout;
    RunOutcome expected;
};

void PrintTo(const UnsafeNameCase& c, std::ostream* out) { *out << c.name; }

class UnsafeSetupNameTest : public UnpackingTest, public testing::WithParamInterface<UnsafeNameCase> {};

// A setup name is a file name in the work directory and nothing else: one
// that would reach outside it (or into a stream) is refused like a name
// without either prefix, before anything is written. The work directory sits
// two levels down, so that a name climbing out lands where the test sees it,
// on a file it must not truncate.
TEST_P(UnsafeSetupNameTest, IsRefusedAndNothingIsWritten) {
    const UnsafeNameCase& c = GetParam();
    ASSERT_TRUE(CreateDirectoryW((folder / L"w").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder / L"w\\x").c_str(), nullptr));
    ASSERT_TRUE(workDirectory.Copy((folder / L"w\\x\\").c_str()));
    for (const wchar_t* outside : {L"OUTSIDE.EX_", L"OUTSIDE.EXE"}) {
        test::WriteBytes(folder / outside, "somebody else's file");
    }
    const unsigned long creations = SEAM_CALLS(CreateFileW);
    EXPECT_EQ(Extract(c.layout), c.expected);
    EXPECT_EQ(SEAM_CALLS(CreateFileW), creations) << "something was created";
    EXPECT_TRUE(test::Entries(folder / L"w\\x").empty());
    EXPECT_EQ(test::Entries(folder.Path()), (std::vector<std::wstring>{L"OUTSIDE.EXE", L"OUTSIDE.EX_", L"w"}));
    for (const wchar_t* outside : {L"OUTSIDE.EX_", L"OUTSIDE.EXE"}) {
        EXPECT_EQ(test::ReadBytes(folder / outside), "somebody else's file");
    }
}

// The archive comes first in "B7": a setup name refused there blames the
// archive's type, as any stranger in it does.
INSTANTIATE_TEST_SUITE_P(
    Cases, UnsafeSetupNameTest,
    testing::Values(
        UnsafeNameCase{"CabinetBackslashes", L"unsafe_cabinet_backslash",
                       {EXIT_SETUP_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        UnsafeNameCase{"CabinetSlashes", L"unsafe_cabinet_slash", {EXIT_SETUP_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        UnsafeNameCase{"CabinetStream", L"unsafe_cabinet_stream", {EXIT_SETUP_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        UnsafeNameCase{"PlainBackslashes", L"unsafe_plain_backslash",
                       {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        UnsafeNameCase{"PlainSlashes", L"unsafe_plain_slash", {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_INVALID_DATA}},
        UnsafeNameCase{"PlainStream", L"unsafe_plain_stream", {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_INVALID_DATA}}),
    [](const testing::TestParamInfo<UnsafeNameCase>& info) { return info.param.name; });

// A cabinet whose tables promise more than its resource holds, or do not
// add up, is refused before the library is asked or anything is created.
TEST_F(UnpackingTest, CabinetThatIsNotWholeIsRefusedBeforeAnythingIsCreated) {
    for (const wchar_t* layout : {L"truncated_cabinet", L"short_file_cabinet"}) {
        const unsigned long creations = SEAM_CALLS(CreateFileW);
        const unsigned long lookups = SEAM_CALLS(GetProcAddress);
        EXPECT_EQ(Extract(layout), (RunOutcome{EXIT_SETUP_RESOURCE_FAILED, 0})) << test::Narrow(layout);
        EXPECT_EQ(SEAM_CALLS(CreateFileW), creations) << test::Narrow(layout) << ": something was created";
        EXPECT_EQ(SEAM_CALLS(GetProcAddress), lookups) << test::Narrow(layout) << ": the library was asked";
        EXPECT_TRUE(test::Entries(folder.Path()).empty()) << test::Narrow(layout);
    }
}

// A plain setup program that cannot be written is a write failure with its
// error; a cabinet that cannot be expanded, the disk full as setup.exe is
// written, is the expansion's failure. Neither leaves anything.
TEST_F(UnpackingTest, WriteFailureLeavesNothing) {
    auto diskFull = SEAM(WriteFile)::Replace([](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    });
    const std::pair<const wchar_t*, RunOutcome> cases[] = {
        {L"uncompressed_setup", {EXIT_SETUP_WRITE_FAILED, ERROR_DISK_FULL}},
        {L"shipped", {EXIT_SETUP_RESOURCE_FAILED, 0}},
    };
    for (const auto& [layout, expected] : cases) {
        EXPECT_EQ(Extract(layout), expected) << test::Narrow(layout);
        EXPECT_TRUE(test::Entries(folder.Path()).empty()) << test::Narrow(layout);
    }
}

// After a failed expansion the setup path names the expansion target, so
// that the run's final removal takes a partial setup.exe whose
// delete-on-close could not be set.
TEST_F(UnpackingTest, FailedExpansionLeavesTheTargetToTheFinalRemoval) {
    bool refused = false;
    auto disposition = SEAM(SetFileInformationByHandle)::Replace(
        [&refused](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
            if (kind == FileDispositionInfo && !refused) {
                refused = true;
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
        });
    EXPECT_EQ(Extract(L"damaged_cabinet"), (RunOutcome{EXIT_SETUP_RESOURCE_FAILED, 0}));
    ASSERT_TRUE(refused) << "the partial file was never marked";
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"setup.exe"});
    EXPECT_EQ(std::wstring(setupPath.Text()), folder / L"setup.exe");
}

TEST_F(UnpackingTest, MissingWorkDirectoryGivesTheSystemError) {
    ASSERT_TRUE(workDirectory.Append(L"gone\\"));
    EXPECT_EQ(Extract(L"uncompressed_setup"), (RunOutcome{EXIT_SETUP_WRITE_FAILED, ERROR_PATH_NOT_FOUND}));
}

struct DepthCase {
    const char* name;
    const wchar_t* layout;
    size_t workDirectoryUnits;
    RunOutcome expected;
    // The file that stays, which the setup path then names; none: nothing
    // is created.
    const wchar_t* left = nullptr;
};

void PrintTo(const DepthCase& c, std::ostream* out) { *out << c.name; }

class WorkDirectoryDepthTest : public UnpackingTest, public testing::WithParamInterface<DepthCase> {};

// "setup.exe" is 9 units: a work directory of 251 brings the setup path to
// 260, one more than a path may have.
TEST_P(WorkDirectoryDepthTest, SetupPathOf260UnitsWritesNothing) {
    const DepthCase& c = GetParam();
    // Nested directories, each name well under the file system's limit. They
    // are made through the "\\?\" form, which knows no length limit: the
    // test needs the directory, the product only ever sees its plain path.
    std::wstring deep = folder.Path();
    while (deep.size() < c.workDirectoryUnits) {
        const size_t rest = c.workDirectoryUnits - deep.size();
        const size_t units = rest <= 101 ? rest - 1 : std::min<size_t>(100, rest - 3);
        deep += std::wstring(units, L'd') + L"\\";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << test::Narrow(deep);
    }
    ASSERT_EQ(deep.size(), c.workDirectoryUnits);
    ASSERT_TRUE(workDirectory.Copy(deep.c_str()));

    const unsigned long creations = SEAM_CALLS(CreateFileW);
    EXPECT_EQ(Extract(c.layout), c.expected);
    if (c.left != nullptr) {
        EXPECT_EQ(std::wstring(setupPath.Text()), deep + c.left);
        EXPECT_EQ(test::Entries(deep), std::vector<std::wstring>{c.left});
    } else {
        EXPECT_EQ(SEAM_CALLS(CreateFileW), creations) << "something was created";
        EXPECT_TRUE(test::Entries(deep).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkDirectoryDepthTest,
    testing::Values(DepthCase{"Uncompressed250", L"uncompressed_setup", 250, OK, L"setup.exe"},
                    DepthCase{"Uncompressed251", L"uncompressed_setup", 251, {EXIT_PATH_TOO_LONG, 0}},
                    // The cabinet is read where it lies, so the path of the
                    // expanded program is the only one that must fit.
                    DepthCase{"Cabinet250", L"shipped", 250, OK, L"setup.exe"},
                    DepthCase{"Cabinet251", L"shipped", 251, {EXIT_PATH_TOO_LONG, 0}},
                    // A cabinet's name shorter than "setup.exe" makes no path
                    // shorter: nothing is written under it.
                    DepthCase{"ShortCabinetName251", L"short_cabinet_name", 251, {EXIT_PATH_TOO_LONG, 0}}),
    [](const testing::TestParamInfo<DepthCase>& info) { return info.param.name; });

// --- SaveResourceAs --------------------------------------------------------------

constexpr uint64_t MIB = 1024 * 1024;
constexpr uint64_t CHUNK = 8 * MIB;

// The bytes a resource may point at; the writes are only recorded, so they
// are never read.
const std::vector<uint8_t>& LargeBlock() {
    static const std::vector<uint8_t> block(24 * MIB + 1);
    return block;
}

struct Write {
    uint64_t offset;
    DWORD size;
    bool operator==(const Write& other) const { return offset == other.offset && size == other.size; }
};

void PrintTo(const Write& write, std::ostream* out) { *out << "{" << write.offset << ", " << write.size << "}"; }

// Records each write as an offset into LargeBlock() and a size, reporting it
// done; the call numbered `failAt` (from 1) fails with a full disk instead.
auto RecordWrites(std::vector<Write>& writes, size_t failAt = 0) {
    return SEAM(WriteFile)::Replace(
        [&writes, failAt](HANDLE, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED) -> BOOL {
            writes.push_back({static_cast<uint64_t>(static_cast<const uint8_t*>(data) - LargeBlock().data()), size});
            if (writes.size() == failAt) {
                SetLastError(ERROR_DISK_FULL);
                return FALSE;
            }
            *written = size;
            return TRUE;
        });
}

struct ChunkCase {
    const char* name;
    uint64_t size;
    std::vector<Write> expected;
};

void PrintTo(const ChunkCase& c, std::ostream* out) { *out << c.name; }

class SaveResourceChunkTest : public testing::TestWithParam<ChunkCase> {};

TEST_P(SaveResourceChunkTest, WritesWholeChunksThenTheRest) {
    const ChunkCase& c = GetParam();
    test::ScratchDirectory folder;
    std::vector<Write> writes;
    {
        auto recording = RecordWrites(writes);
        ASSERT_TRUE(SaveResourceAs({LargeBlock().data(), c.size}, (folder / L"setup.exe").c_str()));
    }
    EXPECT_EQ(writes, c.expected);
    EXPECT_TRUE(test::Exists(folder / L"setup.exe"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaveResourceChunkTest,
    testing::Values(ChunkCase{"OneByte", 1, {{0, 1}}},
                    ChunkCase{"JustUnderAChunk", CHUNK - 1, {{0, CHUNK - 1}}},
                    ChunkCase{"ExactlyOneChunk", CHUNK, {{0, CHUNK}}},
                    ChunkCase{"OneChunkAndAByte", CHUNK + 1, {{0, CHUNK}, {CHUNK, 1}}},
                    ChunkCase{"TwoExactChunks", 2 * CHUNK, {{0, CHUNK}, {CHUNK, CHUNK}}},
                    ChunkCase{"TwoChunksAndARest", 2 * CHUNK + 12345,
                              {{0, CHUNK}, {CHUNK, CHUNK}, {2 * CHUNK, 12345}}},
                    ChunkCase{"ThreeExactChunks", 3 * CHUNK, {{0, CHUNK}, {CHUNK, CHUNK}, {2 * CHUNK, CHUNK}}}),
    [](const testing::TestParamInfo<ChunkCase>& info) { return info.param.name; });

class SaveResourceFailureTest : public testing::TestWithParam<size_t> {};

TEST_P(SaveResourceFailureTest, FullDiskAtAnyChunkLeavesNoFile) {
    const size_t failingWrite = GetParam();
    test::ScratchDirectory folder;
    std::vector<Write> writes;
    bool saved = true;
    DWORD error = 0;
    {
        auto recording = RecordWrites(writes, failingWrite);
        saved = SaveResourceAs({LargeBlock().data(), 2 * CHUNK + 5}, (folder / L"setup.exe").c_str());
        error = GetLastError();
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(writes.size(), failingWrite) << "writing went on after the failure";
    EXPECT_TRUE(test::Entries(folder.Path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Chunks, SaveResourceFailureTest, testing::Values(1, 2, 3),
                         [](const testing::TestParamInfo<size_t>& info) {
                             return "Write" + std::to_string(info.param);
                         });

// The clean-up after the failed write makes calls of its own; whatever they
// leave in the last error, the write's error is what is reported.
TEST(SaveResourceAs, WriteErrorSurvivesTheCleanUp) {
    struct Case {
        const char* name;
        bool markFails;
    };
    for (const Case& c : {Case{"the mark fails", true}, Case{"the close leaves another error", false}}) {
        test::ScratchDirectory folder;
        std::vector<Write> writes;
        auto recording = RecordWrites(writes, 1);
        auto mark = SEAM(SetFileInformationByHandle)::Replace(
            [&c](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
                if (c.markFails) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return FALSE;
                }
                return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
            });
        auto close = SEAM(CloseHandle)::Replace([](HANDLE handle) -> BOOL {
            const BOOL closed = SEAM(CloseHandle)::Real(handle);
            SetLastError(ERROR_INVALID_HANDLE);
            return closed;
        });
        const bool saved = SaveResourceAs({LargeBlock().data(), 100}, (folder / L"setup.exe").c_str());
        const DWORD error = GetLastError();
        EXPECT_FALSE(saved) << c.name;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_DISK_FULL)) << c.name;
    }
}

TEST(SaveResourceAs, WritesTheBytesItPointsAt) {
    test::ScratchDirectory folder;
    const std::string bytes = test::ReadBytes(LayoutDirectory() + L"setup.bin");
    ASSERT_FALSE(bytes.empty());
    ASSERT_TRUE(SaveResourceAs({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()},
                               (folder / L"setup.exe").c_str()));
    EXPECT_TRUE(test::ReadBytes(folder / L"setup.exe") == bytes);
}

}  // namespace
