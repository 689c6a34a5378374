#include "entry/run_stub.h"
#include "installer/installer_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform_starts.h"
#include "seam_hooks.h"
#include "test_support.h"

namespace {

// --- Outcome codes ------------------------------------------------------------

TEST(OutcomeCodes, KeepTheNumbersThatUpdatersKnow) {
    // Compared with literals: a test that compares with the constants
    // themselves cannot notice a number that changed.
    const std::pair<uint32_t, uint32_t> codes[] = {
        {EXIT_OK, 0},
        {EXIT_SETTINGS_FAILED, 101},
        {EXIT_SETUP_COMMAND_TOO_LONG, 105},
        {EXIT_SETUP_WAIT_FAILED, 107},
        {EXIT_PATH_TOO_LONG, 108},
        {EXIT_WORK_DIR_FAILED, 109},
        {EXIT_ARCHIVE_RESOURCE_FAILED, 112},
        {EXIT_SETUP_RESOURCE_FAILED, 115},
        {EXIT_SETUP_WRITE_FAILED, 116},
        {EXIT_WORK_DIR_ACL_FAILED, 117},
        {EXIT_REJECTED_SWITCH, 118},
        {EXIT_INSTALLER_FILE_FAILED, 119},
        {EXIT_INSTALLER_NAMES_FAILED, 120},
        {EXIT_SETUP_FILE_NOT_FOUND, 122},
        {EXIT_SETUP_PATH_NOT_FOUND, 123},
        {EXIT_SETUP_SPAWN_FAILED, 124},
    };
    for (const auto& [constant, number] : codes) {
        EXPECT_EQ(constant, number);
    }
}

TEST(OutcomeCodes, AnOutcomeNothingWroteReadsOkAndNoError) {
    // Made over bytes that are not zero, so that only the type's own
    // initialisers can make it read {0, 0}.
    alignas(RunOutcome) unsigned char storage[sizeof(RunOutcome)];
    std::fill(std::begin(storage), std::end(storage), 0xA5);
    const RunOutcome* outcome = new (storage) RunOutcome;
    EXPECT_EQ(*outcome, (RunOutcome{EXIT_OK, 0}));
}

// --- PathTail ------------------------------------------------------------------

struct TailCase {
    const char* name;
    std::wstring text;
    uint64_t length;
    uint64_t expected;
};

class PathTailTest : public testing::TestWithParam<TailCase> {};

TEST_P(PathTailTest, FindsThePositionAfterTheLastBackslash) {
    const TailCase& c = GetParam();
    EXPECT_EQ(PathTail(c.text.c_str(), c.length), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathTailTest,
    testing::Values(TailCase{"NoBackslash", L"stub.exe", 8, 0}, TailCase{"LengthZero", L"\\a", 0, 0},
                    TailCase{"DriveRoot", L"C:\\stub.exe", 11, 3}, TailCase{"OnlyFirstUnit", L"\\stub.exe", 9, 1},
                    TailCase{"LastOfTwoWins", L"C:\\dir\\stub.exe", 15, 7},
                    TailCase{"OnlyTheFirstLengthUnitsCount", L"C:\\dir\\stub.exe", 6, 3},
                    TailCase{"TrailingBackslash", L"C:\\dir\\", 7, 7}),
    [](const testing::TestParamInfo<TailCase>& info) { return info.param.name; });

// --- The run sequence ------------------------------------------------------------

// The test program carries no payload, so a run that gets as far as the
// unpacking ends with "no archive" (112, 2): that shows how far it got.
constexpr RunOutcome NO_ARCHIVE = {EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND};

auto ModulePathIs(std::wstring path) {
    return SEAM(GetModuleFileNameW)::Replace(
        [path](HMODULE, LPWSTR buffer, DWORD size) { return test::FillModulePath(path, buffer, size); });
}

// A run told that its installer is the file at `path`: the test program's
// own module, which the run maps, is not that file, so the comparison of the
// two answers "the same" for it. The file is written here when it is not
// there yet, as a stand-in that the run opens and holds.
struct InstallerAt {
    explicit InstallerAt(const std::wstring& path) : modulePath(ModulePathIs(path)) {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) test::WriteBytes(path, "MZ stand-in");
    }
    decltype(ModulePathIs(L"")) modulePath;
    SEAM(NtAreMappedFilesTheSame)::Guard same =
        SEAM(NtAreMappedFilesTheSame)::Replace([](PVOID, PVOID) -> NTSTATUS { return 0; });
};

// What the run hands CreateProcessW, noted on the way to the real start.
struct StartSeen {
    std::wstring application;
    std::wstring line;
    SEAM(CreateProcessW)::Guard start = SEAM(CreateProcessW)::Replace(
        [this](LPCWSTR app, LPWSTR command, LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread,
               BOOL inherit, DWORD flags, LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
               LPPROCESS_INFORMATION information) -> BOOL {
            application = app;
            line = command;
            return SEAM(CreateProcessW)::Real(app, command, process, thread, inherit, flags, environment, directory,
                                              startup, information);
        });
};

auto CommandLineIs(std::wstring text) {
    return SEAM(GetCommandLineW)::Replace([text]() mutable -> LPWSTR { return text.data(); });
}

class RunStubTest : public testing::Test {
protected:
    HMODULE Self() const { return GetModuleHandleW(nullptr); }

    // What is beside the installer stand-in "stub.exe": what the run left.
    std::vector<std::wstring> Left() const {
        std::vector<std::wstring> left = test::Entries(folder.Path());
        left.erase(std::remove(left.begin(), left.end(), std::wstring(L"stub.exe")), left.end());
        return left;
    }

    test::ScratchDirectory folder;
    test::CleanupRegistryValue registry;
};

TEST_F(RunStubTest, RejectedSwitchTouchesNothing) {
    for (const wchar_t* line : {L"stub.exe --cleanup", L"\"C:\\x\\stub.exe\" a --BRISEL-FRAME",
                                L"stub.exe \"--brisel-frame\"", L"stub.exe --ferrolt-path=\"C:\\x\\its-own.exe\"",
                                L"stub.exe --archive-resource-name=OTHER.7Z", L"stub.exe --ARCHIVE-RESOURCE-TYPE=BN"}) {
        auto commandLine = CommandLineIs(line);
        const unsigned long pathReads = SEAM_CALLS(GetModuleFileNameW);
        const unsigned long opens = SEAM_CALLS(CreateFileW);
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        EXPECT_EQ(RunStub(Self()), (RunOutcome{EXIT_REJECTED_SWITCH, 0})) << test::Narrow(line);
        EXPECT_EQ(SEAM_CALLS(GetModuleFileNameW), pathReads) << "the executable's path was read";
        EXPECT_EQ(SEAM_CALLS(CreateFileW), opens) << "something was opened";
        EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations) << "something was created";
    }
}

TEST_F(RunStubTest, RejectedSwitchWinsOverTheRegistryValue) {
    registry.Set(REG_SZ, L"0", 4);
    auto commandLine = CommandLineIs(L"stub.exe --cleanup");
    const InstallerAt installer(folder / L"stub.exe");
    EXPECT_EQ(RunStub(Self()), (RunOutcome{EXIT_REJECTED_SWITCH, 0}));
    EXPECT_TRUE(Left().empty());
}

TEST_F(RunStubTest, UnsplittableCommandLineGivesSettingsFailure) {
    auto split = SEAM(CommandLineToArgvW)::Replace([](LPCWSTR, int*) -> LPWSTR* {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    });
    const InstallerAt installer(folder / L"stub.exe");
    EXPECT_EQ(RunStub(Self()), (RunOutcome{EXIT_SETTINGS_FAILED, ERROR_NOT_ENOUGH_MEMORY}));
    EXPECT_TRUE(Left().empty());
}

TEST_F(RunStubTest, OwnPathNotObtainedWholeEndsWithoutWork) {
    const std::wstring tooLong = folder.Path() + std::wstring(300 - folder.Path().size(), L'a');
    struct Case {
        const char* name;
        std::wstring path;
        bool fails;
    };
    for (const Case& c : {Case{"empty", L"", false}, Case{"cut at 260", tooLong, false}}) {
        auto modulePath = ModulePathIs(c.path);
        auto failing = SEAM(GetModuleFileNameW)::Replace(
            c.path.empty() ? SEAM(GetModuleFileNameW)::Replacement([](HMODULE, LPWSTR, DWORD) -> DWORD {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            })
                           : SEAM(GetModuleFileNameW)::replacement);
        const unsigned long opens = SEAM_CALLS(CreateFileW);
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        EXPECT_EQ(RunStub(Self()), (RunOutcome{EXIT_PATH_TOO_LONG, 0})) << c.name;
        EXPECT_EQ(SEAM_CALLS(CreateFileW), opens) << c.name;
        EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations) << c.name;
    }
    EXPECT_TRUE(Left().empty());
}

// A name without a folder, which the system never gives for a module, is
// no file this process runs from: the hold takes it as it stands and the
// comparison ends the run before anything is made.
TEST_F(RunStubTest, OwnPathWithoutAFolderEndsAtTheCheck) {
    auto modulePath = ModulePathIs(L"stub.exe");
    const unsigned long creations = SEAM_CALLS(NtCreateFile);
    EXPECT_EQ(RunStub(Self()).exitCode, EXIT_INSTALLER_FILE_FAILED);
    EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations);
    EXPECT_TRUE(Left().empty());
}

TEST_F(RunStubTest, PathOf259UnitsIsAccepted) {
    const std::wstring path = folder.Path() + std::wstring(259 - folder.Path().size() - 4, L'n') + L".exe";
    ASSERT_EQ(path.size(), 259u);
    const InstallerAt installer(path);
    EXPECT_EQ(RunStub(Self()), NO_ARCHIVE);
}

TEST_F(RunStubTest, RemovesTheEmptyScratchDirectoryAfterAFailedUnpacking) {
    const InstallerAt installer(folder / L"stub.exe");
    EXPECT_EQ(RunStub(Self()), NO_ARCHIVE);
    EXPECT_TRUE(Left().empty());
}

TEST_F(RunStubTest, RegistryValueZeroLeavesTheScratchDirectory) {
    registry.Set(REG_SZ, L"0", 4);
    const InstallerAt installer(folder / L"stub.exe");
    EXPECT_EQ(RunStub(Self()), NO_ARCHIVE);
    const auto entries = Left();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(test::IsDirectory(folder / entries[0]));
    EXPECT_EQ(entries[0].size(), 12u);
    EXPECT_EQ(entries[0].substr(0, 3), L"QX_");
}

TEST_F(RunStubTest, ScratchDirectoryFailureEndsTheRunWithItsOutcome) {
    auto creation = SEAM(NtCreateFile)::Replace([](PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                                   PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID,
                                                   ULONG) -> NTSTATUS {
        return static_cast<NTSTATUS>(0xC0000035);  // STATUS_OBJECT_NAME_COLLISION
    });
    const InstallerAt installer(folder / L"stub.exe");
    const unsigned long enumerations = SEAM_CALLS(EnumResourceNamesW);
    EXPECT_EQ(RunStub(Self()), (RunOutcome{EXIT_WORK_DIR_FAILED, 0}));
    EXPECT_EQ(SEAM_CALLS(EnumResourceNamesW), enumerations) << "the unpacking ran without a directory";
}

TEST_F(RunStubTest, TrimsTheWorkingSetOnceWhateverTheUnpackingGave) {
    const InstallerAt installer(folder / L"stub.exe");
    std::vector<std::pair<SIZE_T, SIZE_T>> trims;
    auto trim = SEAM(SetProcessWorkingSetSize)::Replace([&](HANDLE process, SIZE_T minimum, SIZE_T maximum) -> BOOL {
        EXPECT_EQ(process, GetCurrentProcess());
        trims.push_back({minimum, maximum});
        return TRUE;
    });
    EXPECT_EQ(RunStub(Self()), NO_ARCHIVE);
    // Both limits at (SIZE_T)-1 is the request to empty the working set;
    // anything else trims less or nothing.
    const SIZE_T empty = static_cast<SIZE_T>(-1);
    EXPECT_EQ(trims, (std::vector<std::pair<SIZE_T, SIZE_T>>{{empty, empty}}));
}

// A setup program stored plain under the name a cabinet would expand to is
// written and started under that name, and removed after it.
TEST_F(RunStubTest, PlainSetupProgramNamedSetupExeRunsUnderItsName) {
    test::LayoutModule module(L"plain_named_setup_exe");
    ASSERT_NE(module.Get(), nullptr);
    const InstallerAt installer(folder / L"stub.exe");
    StartSeen started;
    EXPECT_EQ(RunStub(module.Get()), (RunOutcome{7, 0}));
    EXPECT_EQ(started.application.substr(started.application.rfind(L'\\') + 1), L"SETUP.EXE");
    EXPECT_TRUE(Left().empty());
}

// A cabinet run writes the setup program once, straight from the resource:
// every create of the run is recorded, and the only file ever created in the
// scratch directory is setup.exe, written with exactly the program's bytes.
TEST_F(RunStubTest, ACabinetRunCreatesSetupExeAndNothingElse) {
    test::LayoutModule module(L"runnable_setup");
    ASSERT_NE(module.Get(), nullptr);
    const InstallerAt installer(folder / L"stub.exe");
    // What the run asks to create, relative to the installer's folder: files
    // by CreateFileW with any disposition that can make one, directories by
    // the native create the scratch directory comes from.
    std::vector<std::wstring> created;
    std::vector<std::wstring> directories;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD how, DWORD attributes, HANDLE model) -> HANDLE {
        const std::wstring path = name;
        if (how != OPEN_EXISTING && how != TRUNCATE_EXISTING) {
            created.push_back(path.rfind(folder.Path(), 0) == 0 ? path.substr(folder.Path().size()) : path);
        }
        return SEAM(CreateFileW)::Real(name, access, share, security, how, attributes, model);
    });
    auto make = SEAM(NtCreateFile)::Replace([&](PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                                PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG fileAttributes,
                                                ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                                ULONG eaLength) -> NTSTATUS {
        const UNICODE_STRING* name = attributes->ObjectName;
        directories.push_back(std::wstring(name->Buffer, name->Length / sizeof(wchar_t)) +
                              ((options & FILE_DIRECTORY_FILE) != 0 ? L"\\" : L""));
        return SEAM(NtCreateFile)::Real(handle, access, attributes, status, size, fileAttributes, share, disposition,
                                        options, ea, eaLength);
    });
    unsigned long long written = 0;
    auto write = SEAM(WriteFile)::Replace([&](HANDLE file, LPCVOID data, DWORD size, LPDWORD done,
                                              LPOVERLAPPED overlapped) -> BOOL {
        written += size;
        return SEAM(WriteFile)::Real(file, data, size, done, overlapped);
    });
    std::vector<std::wstring> whileItRuns;
    auto wait = SEAM(WaitForSingleObject)::Replace([&](HANDLE process, DWORD timeout) -> DWORD {
        if (directories.size() == 1) whileItRuns = test::Entries(folder / directories[0]);
        return SEAM(WaitForSingleObject)::Real(process, timeout);
    });

    EXPECT_EQ(RunStub(module.Get()), (RunOutcome{7, 0}));
    ASSERT_EQ(directories.size(), 1u) << "the scratch directory, drawn once";
    EXPECT_EQ(directories[0].substr(0, 3), L"QX_");
    EXPECT_EQ(created, std::vector<std::wstring>{directories[0] + L"setup.exe"});
    EXPECT_EQ(whileItRuns, std::vector<std::wstring>{L"setup.exe"});
    EXPECT_EQ(written, test::ReadBytes(test::LayoutDirectory() + L"fixed_exit.exe").size());
    EXPECT_TRUE(Left().empty());
}

// --- The held file's final path ---------------------------------------------------

// What GetFinalPathNameByHandleW does with `path`: written with its
// terminator when it fits and its length returned; otherwise nothing is
// written and the size it needs, terminator included, is returned.
DWORD FinalPathAnswer(const std::wstring& path, LPWSTR buffer, DWORD size) {
    const DWORD length = static_cast<DWORD>(path.size());
    if (length >= size) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return length + 1;
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[length] = 0;
    return length;
}

struct FinalPathCase {
    const char* name;
    std::wstring answer;  // what the system gives
    RunOutcome expected;
    std::wstring path;  // what the run goes on with
};

void PrintTo(const FinalPathCase& c, std::ostream* out) { *out << c.name; }

class FinalPathTest : public testing::TestWithParam<FinalPathCase> {};

// "\\?\" goes where a drive or share path remains that the Win32 rules read
// as the very same path; 259 units is the longest that the run may go on
// with, whatever the form the system gave it in.
TEST_P(FinalPathTest, DropsThePrefixWhereADriveOrSharePathRemains) {
    const FinalPathCase& c = GetParam();
    DWORD asked = 0;
    auto answer = SEAM(GetFinalPathNameByHandleW)::Replace([&](HANDLE, LPWSTR buffer, DWORD size, DWORD flags) -> DWORD {
        asked = flags;
        return FinalPathAnswer(c.answer, buffer, size);
    });
    PathBuffer path;
    EXPECT_EQ(InstallerFinalPath(GetCurrentProcess(), path), c.expected);
    EXPECT_EQ(asked, static_cast<DWORD>(FILE_NAME_NORMALIZED | VOLUME_NAME_DOS));
    if (c.expected.exitCode == EXIT_OK) {
        EXPECT_EQ(std::wstring(path.Text()), c.path);
    }
}

const std::wstring LONGEST_DRIVE_PATH = L"C:\\" + std::wstring(256, L'd');                    // 259 units
const std::wstring LONGEST_SHARE_PATH = L"\\\\server\\share\\" + std::wstring(244, L's');  // 259 units

INSTANTIATE_TEST_SUITE_P(
    Cases, FinalPathTest,
    testing::Values(
        FinalPathCase{"Drive", L"\\\\?\\C:\\Users\\u\\Downloads\\installer.exe", {EXIT_OK, 0},
                      L"C:\\Users\\u\\Downloads\\installer.exe"},
        FinalPathCase{"Share", L"\\\\?\\UNC\\server\\share\\installer.exe", {EXIT_OK, 0},
                      L"\\\\server\\share\\installer.exe"},
        FinalPathCase{"AVolumeWithoutADriveKeepsThePrefix",
                      L"\\\\?\\Volume{0b1d3d36-6491-5577-ab9a-32188d29bbf3}\\installer.exe", {EXIT_OK, 0},
                      L"\\\\?\\Volume{0b1d3d36-6491-5577-ab9a-32188d29bbf3}\\installer.exe"},
        // The Win32 rules would read these as another file: "a." as "a", a
        // name's last blank as nothing, "nul" as the device.
        FinalPathCase{"AFolderEndingInADotKeepsThePrefix", L"\\\\?\\C:\\Users\\u\\Downloads\\a.\\installer.exe",
                      {EXIT_OK, 0}, L"\\\\?\\C:\\Users\\u\\Downloads\\a.\\installer.exe"},
        FinalPathCase{"ANameEndingInABlankKeepsThePrefix", L"\\\\?\\C:\\Users\\u\\Downloads\\installer.exe ",
                      {EXIT_OK, 0}, L"\\\\?\\C:\\Users\\u\\Downloads\\installer.exe "},
        FinalPathCase{"ADevicesNameKeepsThePrefix", L"\\\\?\\C:\\Users\\u\\Downloads\\nul", {EXIT_OK, 0},
                      L"\\\\?\\C:\\Users\\u\\Downloads\\nul"},
        FinalPathCase{"AShareWithAFolderEndingInADotKeepsThePrefix", L"\\\\?\\UNC\\server\\share\\a.\\installer.exe",
                      {EXIT_OK, 0}, L"\\\\?\\UNC\\server\\share\\a.\\installer.exe"},
        FinalPathCase{"NoPrefixAtAll", L"C:\\installer.exe", {EXIT_OK, 0}, L"C:\\installer.exe"},
        FinalPathCase{"DriveOf259Units", L"\\\\?\\" + LONGEST_DRIVE_PATH, {EXIT_OK, 0}, LONGEST_DRIVE_PATH},
        FinalPathCase{"DriveOf260Units", L"\\\\?\\" + LONGEST_DRIVE_PATH + L"d", {EXIT_PATH_TOO_LONG, 0}, L""},
        FinalPathCase{"ShareOf259Units", L"\\\\?\\UNC\\" + LONGEST_SHARE_PATH.substr(2), {EXIT_OK, 0},
                      LONGEST_SHARE_PATH},
        FinalPathCase{"ShareOf260Units", L"\\\\?\\UNC\\" + LONGEST_SHARE_PATH.substr(2) + L"s",
                      {EXIT_PATH_TOO_LONG, 0}, L""},
        FinalPathCase{"PrefixKeptAndTooLong", L"\\\\?\\Volume{x}\\" + std::wstring(250, L'v'),
                      {EXIT_PATH_TOO_LONG, 0}, L""},
        FinalPathCase{"TooLongForTheSystemsAnswer", L"\\\\?\\" + LONGEST_DRIVE_PATH + std::wstring(300, L'd'),
                      {EXIT_PATH_TOO_LONG, 0}, L""}),
    [](const testing::TestParamInfo<FinalPathCase>& info) { return info.param.name; });

TEST(FinalPath, WhenTheRulesCannotBeAskedThePrefixIsKept) {
    auto answer = SEAM(GetFinalPathNameByHandleW)::Replace([](HANDLE, LPWSTR buffer, DWORD size, DWORD) -> DWORD {
        return FinalPathAnswer(L"\\\\?\\C:\\installer.exe", buffer, size);
    });
    auto rules = SEAM(GetFullPathNameW)::Replace([](LPCWSTR, DWORD, LPWSTR, LPWSTR*) -> DWORD {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    });
    PathBuffer path;
    EXPECT_EQ(InstallerFinalPath(GetCurrentProcess(), path), (RunOutcome{EXIT_OK, 0}));
    EXPECT_EQ(std::wstring(path.Text()), L"\\\\?\\C:\\installer.exe");
}

TEST(FinalPath, NoAnswerFromTheSystemIsTheInstallerFilesFailure) {
    auto answer = SEAM(GetFinalPathNameByHandleW)::Replace([](HANDLE, LPWSTR, DWORD, DWORD) -> DWORD {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    });
    PathBuffer path;
    EXPECT_EQ(InstallerFinalPath(GetCurrentProcess(), path), (RunOutcome{EXIT_INSTALLER_FILE_FAILED, ERROR_PATH_NOT_FOUND}));
}

// The name the run was started by leads through "alias"; the held file is
// really in "real". After the hold the run goes by the held file's path
// alone: the folder it opens to create in, the scratch directory and the
// path switch the setup program is told.
TEST_F(RunStubTest, AfterTheHoldEverythingGoesByTheHeldFilesOwnPath) {
    test::LayoutModule module(L"runnable_setup");
    ASSERT_NE(module.Get(), nullptr);
    CreateDirectoryW((folder / L"alias").c_str(), nullptr);
    CreateDirectoryW((folder / L"real").c_str(), nullptr);
    const std::wstring real = folder / L"real\\stub.exe";
    test::WriteBytes(real, "MZ stand-in");
    const InstallerAt installer(folder / L"alias\\stub.exe");
    auto answer = SEAM(GetFinalPathNameByHandleW)::Replace([&](HANDLE, LPWSTR buffer, DWORD size, DWORD) -> DWORD {
        return FinalPathAnswer(L"\\\\?\\" + real, buffer, size);
    });
    std::vector<std::wstring> folders;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD flags, HANDLE model) -> HANDLE {
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 && access == FILE_TRAVERSE) folders.push_back(path);
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, flags, model);
    });
    StartSeen started;
    registry.Set(REG_SZ, L"0", 4);
    EXPECT_EQ(RunStub(module.Get()), (RunOutcome{7, 0}));
    EXPECT_EQ(folders, std::vector<std::wstring>{folder / L"real\\"});
    EXPECT_EQ(started.application.substr(0, (folder / L"real\\QX_").size()), folder / L"real\\QX_")
        << test::Narrow(started.application);
    EXPECT_NE(started.line.find(L" --ferrolt-path=\"" + real + L"\" "), std::wstring::npos)
        << test::Narrow(started.line);
    EXPECT_EQ(test::Entries(folder / L"alias"), std::vector<std::wstring>{L"stub.exe"});
    EXPECT_EQ(test::Entries(folder / L"real").size(), 2u) << "the scratch directory, kept, beside the real file";
}

TEST_F(RunStubTest, AFinalPathThatDoesNotFitOrIsNotGivenEndsBeforeAnythingIsCreated) {
    const InstallerAt installer(folder / L"stub.exe");
    struct Case {
        const char* name;
        std::wstring answer;  // empty: the call fails
        RunOutcome expected;
    };
    for (const Case& c : {Case{"too long", L"\\\\?\\" + folder.Path() + std::wstring(300, L'n'), {EXIT_PATH_TOO_LONG, 0}},
                          Case{"not given", L"", {EXIT_INSTALLER_FILE_FAILED, ERROR_ACCESS_DENIED}}}) {
        SCOPED_TRACE(c.name);
        auto answer = SEAM(GetFinalPathNameByHandleW)::Replace([&](HANDLE, LPWSTR buffer, DWORD size, DWORD) -> DWORD {
            if (c.answer.empty()) {
                SetLastError(ERROR_ACCESS_DENIED);
                return 0;
            }
            return FinalPathAnswer(c.answer, buffer, size);
        });
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        EXPECT_EQ(RunStub(Self()), c.expected);
        EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations);
        EXPECT_TRUE(Left().empty());
    }
}

// --- The scratch directory's hold, against another process ----------------------

// The intruder's exit code: what worked against the scratch directory.
constexpr DWORD INTRUDER_RENAMED = 1;
constexpr DWORD INTRUDER_OPENED_FOR_DELETION = 2;
constexpr DWORD INTRUDER_WORKED_INSIDE = 4;
constexpr DWORD INTRUDER_MADE_IT_CURRENT = 8;

// Starts scratch_intruder against `target` (a directory without trailing
// backslash in INTRUDER_TARGET, a file in INTRUDER_FILE) and returns its exit
// code.
DWORD RunIntruder(const std::wstring& target, const wchar_t* variable = L"INTRUDER_TARGET") {
    const std::wstring program = test::LayoutDirectory() + L"scratch_intruder.exe";
    SetEnvironmentVariableW(variable, target.c_str());
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started = test::StartProcess(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                            nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(variable, nullptr);
    if (!started) {
        ADD_FAILURE() << "the intruder did not start: " << GetLastError();
        return 0x200;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0x200;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST_F(RunStubTest, NobodyCanRenameOrDeleteTheScratchDirectoryWhileTheSetupProgramRuns) {
    test::LayoutModule module(L"runnable_setup");
    ASSERT_NE(module.Get(), nullptr);
    const InstallerAt installer(folder / L"stub.exe");
    for (const bool removal : {true, false}) {
        SCOPED_TRACE(removal ? "removal on" : "removal off");
        if (!removal) registry.Set(REG_SZ, L"0", 4);
        std::wstring scratch;
        DWORD intruder = 0;
        // The stub waits for the setup program here: the intruder goes at
        // the directory while the run is at its longest.
        auto wait = SEAM(WaitForSingleObject)::Replace([&](HANDLE process, DWORD timeout) -> DWORD {
            const auto entries = Left();
            EXPECT_EQ(entries.size(), 1u);
            if (!entries.empty()) {
                scratch = folder / entries[0];
                intruder = RunIntruder(scratch);
            }
            return SEAM(WaitForSingleObject)::Real(process, timeout);
        });
        EXPECT_EQ(RunStub(module.Get()), (RunOutcome{7, 0}));
        EXPECT_EQ(intruder, INTRUDER_WORKED_INSIDE | INTRUDER_MADE_IT_CURRENT) << "renamed: " << (intruder & INTRUDER_RENAMED)
                                             << ", opened for deletion: " << (intruder & INTRUDER_OPENED_FOR_DELETION);
        const auto left = Left();
        if (removal) {
            EXPECT_TRUE(left.empty()) << "left: " << left.size();
        } else {
            // Kept whole, and free once the run is over.
            ASSERT_EQ(left, std::vector<std::wstring>{scratch.substr(folder.Path().size())});
            EXPECT_EQ(test::Entries(scratch), std::vector<std::wstring>{L"setup.exe"});
            EXPECT_TRUE(MoveFileExW(scratch.c_str(), (scratch + L"-moved").c_str(), 0)) << GetLastError();
            test::RemoveTree(scratch + L"-moved");
        }
    }
}

TEST_F(RunStubTest, TheScratchDirectoryIsStillHeldWhenSetupExeIsRemoved) {
    // setup.exe is removed by name, and the link flag of that removal covers
    // only the name's last part: were the directory let go of first, someone
    // could swap it for a junction in that instant and have the removal
    // reach elsewhere. So at the removal's open of setup.exe, opening the
    // directory for deletion must still be refused.
    test::LayoutModule module(L"runnable_setup");
    ASSERT_NE(module.Get(), nullptr);
    const InstallerAt installer(folder / L"stub.exe");
    std::vector<DWORD> refusals;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        const std::wstring name = path;
        const std::wstring setup = L"\\setup.exe";
        if (access == DELETE && name.size() > setup.size() &&
            name.compare(name.size() - setup.size(), setup.size(), setup) == 0) {
            const std::wstring scratch = name.substr(0, name.size() - setup.size());
            HANDLE deleter = SEAM(CreateFileW)::Real(
                scratch.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            refusals.push_back(deleter == INVALID_HANDLE_VALUE ? GetLastError() : 0);
            if (deleter != INVALID_HANDLE_VALUE) CloseHandle(deleter);
        }
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    EXPECT_EQ(RunStub(module.Get()), (RunOutcome{7, 0}));
    ASSERT_FALSE(refusals.empty()) << "setup.exe was never opened for its removal";
    EXPECT_EQ(refusals[0], static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Left().empty());
}

// --- The installer's own file, held for the run -------------------------------

// The intruder's exit code against a file: what worked.
constexpr DWORD FILE_RENAMED = 1;
constexpr DWORD FILE_OPENED_FOR_DELETION = 2;
constexpr DWORD FILE_OPENED_FOR_WRITING = 16;
constexpr DWORD FILE_READ_SHARING_READ = 32;
constexpr DWORD FILE_LOADED_AS_DATA = 64;
constexpr DWORD EVERYTHING_ON_A_FILE = FILE_RENAMED | FILE_OPENED_FOR_DELETION | FILE_OPENED_FOR_WRITING |
                                       FILE_READ_SHARING_READ | FILE_LOADED_AS_DATA;

// The installer as a file beside which the run works: a copy of the runnable
// layout, which carries the archive as an installer does, loaded from where
// it lies, so that the run's own module is that very file.
class InstallerFileTest : public RunStubTest {
protected:
    void SetUp() override {
        bytes = test::ReadBytes(test::LayoutDirectory() + L"runnable_setup.dll");
        ASSERT_FALSE(bytes.empty());
        test::WriteBytes(installer, bytes);
        module = LoadLibraryExW(installer.c_str(), nullptr, 0);
        ASSERT_NE(module, nullptr) << GetLastError();
    }
    void TearDown() override { Unload(); }

    void Unload() {
        if (module != nullptr) FreeLibrary(module);
        module = nullptr;
    }

    HMODULE module = nullptr;
    std::wstring installer = folder / L"installer.exe";
    std::string bytes;
};

// Renames the installer away (and back, if that worked): 0 when it could be
// renamed, else the error.
DWORD RenameError(const std::wstring& path) {
    if (!MoveFileExW(path.c_str(), (path + L"-moved").c_str(), 0)) return GetLastError();
    MoveFileExW((path + L"-moved").c_str(), path.c_str(), 0);
    return 0;
}

TEST_F(InstallerFileTest, NobodyCanRenameOrWriteTheInstallerWhileTheRunLastsButEveryReaderCan) {
    // From the scratch directory's creation to the removal of what the run
    // wrote, a rename of the installer is refused; while the setup program
    // runs, another process also tries to write it, and reads it as a setup
    // program would.
    std::vector<DWORD> renames;
    auto creation = SEAM(NtCreateFile)::Replace([&](PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG fileAttributes,
                                                    ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                                    ULONG eaLength) -> NTSTATUS {
        renames.push_back(RenameError(installer));
        return SEAM(NtCreateFile)::Real(handle, access, attributes, status, size, fileAttributes, share, disposition,
                                        options, ea, eaLength);
    });
    DWORD intruder = 0;
    auto wait = SEAM(WaitForSingleObject)::Replace([&](HANDLE process, DWORD timeout) -> DWORD {
        intruder = RunIntruder(installer, L"INTRUDER_FILE");
        return SEAM(WaitForSingleObject)::Real(process, timeout);
    });
    auto removal = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                                  DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        if (access == DELETE) renames.push_back(RenameError(installer));
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    EXPECT_EQ(RunStub(module), (RunOutcome{7, 0}));
    EXPECT_EQ(intruder, FILE_READ_SHARING_READ | FILE_LOADED_AS_DATA)
        << "renamed: " << (intruder & FILE_RENAMED) << ", opened for deletion: " << (intruder & FILE_OPENED_FOR_DELETION)
        << ", opened for writing: " << (intruder & FILE_OPENED_FOR_WRITING);
    ASSERT_FALSE(renames.empty());
    EXPECT_EQ(renames, std::vector<DWORD>(renames.size(), ERROR_SHARING_VIOLATION));
    EXPECT_EQ(test::ReadBytes(installer), bytes);
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"installer.exe"});
    // Let go of with the run's end (and with the test's own load of it).
    Unload();
    EXPECT_EQ(RunIntruder(installer, L"INTRUDER_FILE"), EVERYTHING_ON_A_FILE);
}

// A link at the installer's name must be held itself, not what it leads to:
// held through the link, the target could not be replaced, but the link
// could, and the setup program reads by that name. Wine follows no Windows
// link at a file's name, so the hold's open is pinned as the call it makes.
TEST_F(InstallerFileTest, TheHoldOpensTheNamesOwnEntryForReadingSharingOnlyReading) {
    struct Open {
        DWORD access, share, flags;
        bool operator==(const Open&) const = default;
    };
    std::vector<Open> opens;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD flags, HANDLE model) -> HANDLE {
        if (installer == path) opens.push_back({access, share, flags});
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, flags, model);
    });
    EXPECT_EQ(RunStub(module), (RunOutcome{7, 0}));
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_TRUE(opens[0] == (Open{GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT}))
        << std::hex << opens[0].access << " " << opens[0].share << " " << opens[0].flags;
}

// On a volume that keeps no ACLs the scratch directory is made, with its
// descriptor, in the system's own Temp folder; the setup program runs from
// there, and is still told the installer by the installer's own path.
TEST_F(InstallerFileTest, OnAVolumeWithoutAclsTheRunWorksFromTheSystemsTempWithTheDescriptor) {
    auto flags = SEAM(GetVolumeInformationByHandleW)::Replace(
        [](HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD fileSystemFlags, LPWSTR, DWORD) -> BOOL {
            *fileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
            return TRUE;
        });
    wchar_t windows[MAX_PATH + 1] = {};
    const std::wstring temp = std::wstring(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH)) + L"\\Temp\\";
    auto scratchIn = [&temp]() {
        std::vector<std::wstring> names;
        for (const std::wstring& name : test::Entries(temp)) {
            if (name.rfind(L"QX_", 0) == 0) names.push_back(name);
        }
        return names;
    };
    const std::vector<std::wstring> before = scratchIn();
    std::vector<bool> described;
    auto creation = SEAM(NtCreateFile)::Replace([&](PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG fileAttributes,
                                                    ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                                    ULONG eaLength) -> NTSTATUS {
        described.push_back(attributes->SecurityDescriptor != nullptr);
        return SEAM(NtCreateFile)::Real(handle, access, attributes, status, size, fileAttributes, share, disposition,
                                        options, ea, eaLength);
    });
    StartSeen started;
    EXPECT_EQ(RunStub(module), (RunOutcome{7, 0}));
    EXPECT_EQ(started.application.substr(0, temp.size() + 3), temp + L"QX_") << test::Narrow(started.application);
    EXPECT_EQ(described, std::vector<bool>{true});
    EXPECT_NE(started.line.find(L" --ferrolt-path=\"" + installer + L"\" "), std::wstring::npos)
        << test::Narrow(started.line);
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"installer.exe"});
    EXPECT_EQ(scratchIn(), before) << "the scratch directory was left in the system's Temp";
}

// Before the hold there is an instant in which whoever may write the folder
// can take the installer's name: the run then ends before anything is created,
// whatever stands at the name, even a copy with every byte of ours.
TEST_F(InstallerFileTest, AnInstallerThatIsNotTheRunningOneOrCannotBeHeldEndsTheRunBeforeAnythingIsCreated) {
    const std::wstring moved = installer + L"-moved";
    struct Case {
        const char* name;
        const char* atTheName;  // after the running installer was renamed away; null: not renamed
        DWORD refusal;          // the open's error made through the seam; 0: none
        RunOutcome expected;
    };
    const Case cases[] = {
        {"a copy of every byte at its name", "copy", 0, {EXIT_INSTALLER_FILE_FAILED, 0}},
        {"another file at its name", "other", 0, {EXIT_INSTALLER_FILE_FAILED, 0}},
        {"nothing at its name", "", 0, {EXIT_INSTALLER_FILE_FAILED, ERROR_FILE_NOT_FOUND}},
        {"held by another without read sharing", nullptr, ERROR_SHARING_VIOLATION,
         {EXIT_INSTALLER_FILE_FAILED, ERROR_SHARING_VIOLATION}},
        {"refused by the volume", nullptr, ERROR_INVALID_FUNCTION, {EXIT_INSTALLER_FILE_FAILED, ERROR_INVALID_FUNCTION}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> expectedLeft = {L"installer.exe"};
        if (c.atTheName != nullptr) {
            ASSERT_TRUE(MoveFileExW(installer.c_str(), moved.c_str(), 0)) << GetLastError();
            const std::string other = std::string(c.atTheName) == "copy" ? bytes : std::string(c.atTheName);
            if (!other.empty()) test::WriteBytes(installer, other);
            expectedLeft = other.empty() ? std::vector<std::wstring>{L"installer.exe-moved"}
                                         : std::vector<std::wstring>{L"installer.exe", L"installer.exe-moved"};
        }
        auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share,
                                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                                                   HANDLE model) -> HANDLE {
            if (c.refusal != 0 && installer == path) {
                SetLastError(c.refusal);
                return INVALID_HANDLE_VALUE;
            }
            return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
        });
        const unsigned long starts = SEAM_CALLS(CreateProcessW);
        EXPECT_EQ(RunStub(module), c.expected);
        EXPECT_EQ(SEAM_CALLS(CreateProcessW), starts);
        EXPECT_EQ(test::Entries(folder.Path()), expectedLeft);
        if (c.atTheName != nullptr) {
            DeleteFileW(installer.c_str());
            ASSERT_TRUE(MoveFileExW(moved.c_str(), installer.c_str(), 0)) << GetLastError();
        }
    }
    // The installer itself, once it is back at its name, runs.
    EXPECT_EQ(RunStub(module), (RunOutcome{7, 0}));
}

}  // namespace
