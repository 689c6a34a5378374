#include "payload/output_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"

namespace {

void Write(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

class OutputFileTest : public testing::Test {
protected:
    // A path of exactly `units` units in the scratch directory.
    std::wstring PathOfLength(size_t units) const {
        std::wstring path = folder.Path();
        path.resize(units, L'n');
        return path;
    }

    test::ScratchDirectory folder;
};

TEST_F(OutputFileTest, ClosedWithoutMarkingKeepsItsBytes) {
    {
        OutputFile file;
        ASSERT_TRUE(file.Open((folder / L"setup.exe").c_str()));
        Write(file.Handle(), "the setup program");
    }
    EXPECT_EQ(test::ReadBytes(folder / L"setup.exe"), "the setup program");
}

TEST_F(OutputFileTest, OpeningAnExistingFileEmptiesIt) {
    test::WriteBytes(folder / L"setup.exe", "left over from an earlier run");
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"setup.exe").c_str()));
    file.Close();
    EXPECT_TRUE(test::Exists(folder / L"setup.exe"));
    EXPECT_EQ(test::ReadBytes(folder / L"setup.exe"), "");
}

// Only an open that deletes, as the removal's does, gets in beside it.
TEST_F(OutputFileTest, NobodyElseReadsOrWritesWhileItIsOpen) {
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"setup.exe").c_str()));
    struct Case {
        DWORD access;
        bool opens;
    };
    for (const Case& c : {Case{GENERIC_READ, false}, Case{GENERIC_WRITE, false}, Case{DELETE, true}}) {
        HANDLE other = CreateFileW((folder / L"setup.exe").c_str(), c.access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(other != INVALID_HANDLE_VALUE, c.opens) << "access " << std::hex << c.access;
        if (!c.opens) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        if (other != INVALID_HANDLE_VALUE) {
            CloseHandle(other);
        }
    }
}

TEST_F(OutputFileTest, ReopeningClosesTheEarlierFileWithWhatWasWritten) {
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"first").c_str()));
    Write(file.Handle(), "first bytes");
    ASSERT_TRUE(file.Open((folder / L"second").c_str()));
    Write(file.Handle(), "second bytes");
    // Readable by another handle: the first one was closed, not just dropped.
    EXPECT_EQ(test::ReadBytes(folder / L"first"), "first bytes");
    file.Close();
    EXPECT_EQ(test::ReadBytes(folder / L"second"), "second bytes");
}

TEST_F(OutputFileTest, PathOf260UnitsCreatesNothingAndLeavesItClosed) {
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"earlier").c_str()));
    Write(file.Handle(), "kept");
    const unsigned long creations = SEAM_CALLS(CreateFileW);
    EXPECT_FALSE(file.Open(PathOfLength(260).c_str()));
    EXPECT_EQ(SEAM_CALLS(CreateFileW), creations);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"earlier"});
    EXPECT_EQ(test::ReadBytes(folder / L"earlier"), "kept");
}

TEST_F(OutputFileTest, PathOf259UnitsIsCreated) {
    const std::wstring path = PathOfLength(259);
    OutputFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_TRUE(file.IsOpen());
    file.Close();
    EXPECT_TRUE(test::Exists(path));
}

TEST_F(OutputFileTest, RefusalBySystemLeavesItClosedWithTheSystemError) {
    OutputFile file;
    EXPECT_FALSE(file.Open((folder / L"missing\\setup.exe").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(OutputFileTest, MarkedFileGoesWhenItsLastHandleCloses) {
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"setup.exe").c_str()));
    Write(file.Handle(), "partial");
    HANDLE duplicate = file.Duplicate();
    ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(file.MarkForDeletion());
    file.Close();
    // The name stays listed while the duplicate is open. (Wine still opens a
    // file whose deletion is pending, so only the listing is asked here.)
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"setup.exe"});
    CloseHandle(duplicate);
    EXPECT_TRUE(test::Entries(folder.Path()).empty());
    EXPECT_FALSE(test::Exists(folder / L"setup.exe"));
}

TEST_F(OutputFileTest, DuplicateWritesToTheSameFile) {
    OutputFile file;
    ASSERT_TRUE(file.Open((folder / L"setup.exe").c_str()));
    HANDLE duplicate = file.Duplicate();
    ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
    ASSERT_NE(duplicate, file.Handle());
    Write(duplicate, "through the duplicate");
    CloseHandle(duplicate);
    file.Close();
    EXPECT_EQ(test::ReadBytes(folder / L"setup.exe"), "through the duplicate");
}

TEST_F(OutputFileTest, ClosedFileRefusesDuplicateAndMarkWithoutASystemCall) {
    OutputFile neverOpened;
    OutputFile closed;
    ASSERT_TRUE(closed.Open((folder / L"setup.exe").c_str()));
    closed.Close();
    OutputFile refused;
    ASSERT_FALSE(refused.Open((folder / L"missing\\setup.exe").c_str()));

    const unsigned long duplications = SEAM_CALLS(DuplicateHandle);
    const unsigned long settings = SEAM_CALLS(SetFileInformationByHandle);
    for (OutputFile* file : {&neverOpened, &closed, &refused}) {
        EXPECT_EQ(file->Duplicate(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(file->MarkForDeletion());
    }
    EXPECT_EQ(SEAM_CALLS(DuplicateHandle), duplications);
    EXPECT_EQ(SEAM_CALLS(SetFileInformationByHandle), settings);
    EXPECT_TRUE(test::Exists(folder / L"setup.exe")) << "marking a closed file deleted it";
}

}  // namespace
