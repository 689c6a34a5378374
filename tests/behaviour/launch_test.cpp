#include "launch/setup_launch.h"

#include <gtest/gtest.h>

#include <string>

#include "platform_starts.h"
#include "seam_hooks.h"
#include "test_support.h"

namespace {

const std::wstring INSTALLER_PATH = L"C:\\dir\\installer.exe";
const std::wstring SETUP_PATH = L"C:\\dir\\QX_4F0A2.tmp\\setup.exe";
const std::wstring FIXED_PART = L"\"C:\\dir\\QX_4F0A2.tmp\\setup.exe\" --ferrolt-path=\"C:\\dir\\installer.exe\""
                                L" --archive-resource-name=\"BRISEL.PACKED.7Z\" --archive-resource-type=\"B7\"";
// Room left for passed-on arguments in the 1300-unit command buffer.
const size_t ROOM = 1299 - FIXED_PART.size();

std::wstring SystemProgram(const wchar_t* name) {
    wchar_t directory[MAX_PATH];
    GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + name;
}

// Records what reaches CreateProcessW, then starts a real program that ends
// at once with 0, so that the wait and the exit code run for real.
struct StartRecorder {
    std::wstring application;
    std::wstring commandLine;
    DWORD flags = 0;
    BOOL inherit = TRUE;
    bool environment = true;
    bool directory = true;
    DWORD startupSize = 0;

    decltype(SEAM(CreateProcessW)::Replace({})) guard = SEAM(CreateProcessW)::Replace(
        [this](LPCWSTR app, LPWSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inheritHandles,
               DWORD creationFlags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW startup,
               LPPROCESS_INFORMATION info) -> BOOL {
            application = app ? app : L"";
            commandLine = line ? line : L"";
            flags = creationFlags;
            inherit = inheritHandles;
            environment = env != nullptr;
            directory = dir != nullptr;
            startupSize = startup->cb;
            std::wstring cmd = SystemProgram(L"cmd.exe");
            std::wstring exit0 = L"cmd.exe /c exit 0";
            return test::StartProcess(cmd.c_str(), exit0.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                                      nullptr, startup, info);
        });
};

class LaunchTest : public testing::Test {
protected:
    RunOutcome Launch(std::wstring stubCommandLine) {
        ownCommandLine = std::move(stubCommandLine);
        settings.commandLine = ownCommandLine.data();
        return LaunchSetup(settings, InstallerNames(), installerPath, archiveName, archiveType, setupPath);
    }

    void SetUp() override {
        archiveName.Copy(L"BRISEL.PACKED.7Z");
        archiveType.Copy(L"B7");
        setupPath.Copy(SETUP_PATH.c_str());
        installerPath.Copy(INSTALLER_PATH.c_str());
    }

    LaunchSettings settings;
    std::wstring ownCommandLine;
    PathBuffer archiveName;
    TypeNameBuffer archiveType;
    PathBuffer setupPath;
    PathBuffer installerPath;
};

struct CommandCase {
    const char* name;
    std::wstring stubCommandLine;
    std::wstring passedOn;  // what follows the fixed part in the child's line
};

class CommandLineTest : public LaunchTest, public testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLineTest, ChildGetsTheSwitchesAndTheArgumentsAsTyped) {
    const CommandCase& c = GetParam();
    StartRecorder start;
    EXPECT_EQ(Launch(c.stubCommandLine), (RunOutcome{0, 0}));
    EXPECT_EQ(start.commandLine, FIXED_PART + c.passedOn);
    EXPECT_EQ(start.application, SETUP_PATH);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTest,
    testing::Values(
        CommandCase{"QuotedNameAlone", L"\"C:\\dir\\installer.exe\"", L""},
        CommandCase{"UnquotedNameAlone", L"C:\\dir\\installer.exe", L""},
        CommandCase{"QuotedNameAndOneArgument", L"\"C:\\dir\\installer.exe\" --foo", L" --foo"},
        CommandCase{"SpacingAndQuotingKept", L"\"C:\\a b\\installer.exe\"   one\t\ttwo  \"three four\" \"",
                    L"   one\t\ttwo  \"three four\" \""},
        CommandCase{"ArgumentGluedToTheClosingQuote", L"\"C:\\dir\\installer.exe\"--foo \"a b\"",
                    L" --foo \"a b\""},
        CommandCase{"UnquotedNameThenTab", L"C:\\dir\\installer.exe\t--foo", L"\t--foo"},
        CommandCase{"QuoteInsideAnUnquotedNameBelongsToIt", L"C:\\dir\\inst\"all er.exe x", L" er.exe x"},
        CommandCase{"UnclosedOpeningQuotePassesNothing", L"\"C:\\dir\\installer.exe --foo bar", L""},
        CommandCase{"ArgumentsThatFitExactly", L"x " + std::wstring(ROOM - 1, L'a'),
                    L" " + std::wstring(ROOM - 1, L'a')},
        CommandCase{"GluedArgumentThatFitsExactlyWithItsBlank", L"\"x\"" + std::wstring(ROOM - 1, L'a'),
                    L" " + std::wstring(ROOM - 1, L'a')}),
    [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

// A release's own path switch takes the first switch's place, at its longest.
TEST_F(LaunchTest, PathSwitchIsTheInstallersOwn) {
    StartRecorder start;
    InstallerNames names;
    const std::wstring own(64, L's');
    names.pathSwitch = own.c_str();
    ownCommandLine = L"x --foo";
    settings.commandLine = ownCommandLine.data();
    EXPECT_EQ(LaunchSetup(settings, names, installerPath, archiveName, archiveType, setupPath),
              (RunOutcome{0, 0}));
    std::wstring expected = FIXED_PART;
    expected.replace(expected.find(L"ferrolt-path"), 12, own);
    EXPECT_EQ(start.commandLine, expected + L" --foo");
}

// The run always has a command line of its own; were there none, there would
// be nothing to pass on, and the setup program still starts.
TEST_F(LaunchTest, NoCommandLinePassesNothing) {
    StartRecorder start;
    settings.commandLine = nullptr;
    EXPECT_EQ(LaunchSetup(settings, InstallerNames(), installerPath, archiveName, archiveType, setupPath),
              (RunOutcome{0, 0}));
    EXPECT_EQ(start.commandLine, FIXED_PART);
}

// Without its arguments the setup program would install its defaults and
// report success: arguments that do not fit start nothing.
TEST_F(LaunchTest, ArgumentsOneUnitTooLongStartNothing) {
    for (const std::wstring& line : {L"x " + std::wstring(ROOM, L'a'), L"\"x\"" + std::wstring(ROOM, L'a'),
                                     L"x\t" + std::wstring(2000, L'a')}) {
        const unsigned long starts = SEAM_CALLS(CreateProcessW);
        EXPECT_EQ(Launch(line), (RunOutcome{EXIT_SETUP_COMMAND_TOO_LONG, 0})) << line.size();
        EXPECT_EQ(SEAM_CALLS(CreateProcessW), starts) << line.size();
    }
}

TEST_F(LaunchTest, ChildStartsHiddenWithOurEnvironmentAndDirectory) {
    StartRecorder start;
    EXPECT_EQ(Launch(L"installer.exe"), (RunOutcome{0, 0}));
    EXPECT_EQ(start.flags, static_cast<DWORD>(CREATE_NO_WINDOW));
    EXPECT_FALSE(start.inherit);
    EXPECT_FALSE(start.environment) << "the child must inherit our environment";
    EXPECT_FALSE(start.directory) << "the child must start in our current directory";
    EXPECT_EQ(start.startupSize, 104u);
}

// The setup program is told the path the run gives, the held file's own,
// never the name the process was started by, which may lead elsewhere by now.
TEST_F(LaunchTest, TheInstallerIsTheGivenPathAndTheModulesNameIsNeverAsked) {
    const std::wstring longest = L"C:\\" + std::wstring(252, L'p') + L".exe";
    ASSERT_EQ(longest.size(), 259u);
    for (const std::wstring& path : {INSTALLER_PATH, longest}) {
        installerPath.Copy(path.c_str());
        StartRecorder start;
        const unsigned long asked = SEAM_CALLS(GetModuleFileNameW);
        EXPECT_EQ(Launch(L"installer.exe"), (RunOutcome{0, 0}));
        EXPECT_EQ(SEAM_CALLS(GetModuleFileNameW), asked);
        EXPECT_NE(start.commandLine.find(L" --ferrolt-path=\"" + path + L"\" "), std::wstring::npos)
            << test::Narrow(start.commandLine);
    }
}

struct StartFailureCase {
    const char* name;
    DWORD error;
    bool fileThere;
    uint32_t expectedCode;
};

class StartFailureTest : public LaunchTest, public testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailureTest, ReportsWhatWasFoundAtTheSetupPath) {
    const StartFailureCase& c = GetParam();
    test::ScratchDirectory folder;
    const std::wstring path = folder / L"setup.exe";
    if (c.fileThere) test::WriteBytes(path, "MZ");
    setupPath.Copy(path.c_str());
    auto start = SEAM(CreateProcessW)::Replace(
        [&](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
            LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
            SetLastError(c.error);
            return FALSE;
        });
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const uint32_t expectedError =
        (c.error == ERROR_FILE_NOT_FOUND || c.error == ERROR_PATH_NOT_FOUND) ? attributes : c.error;
    EXPECT_EQ(Launch(L"installer.exe"), (RunOutcome{c.expectedCode, expectedError}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartFailureTest,
    testing::Values(StartFailureCase{"FileNotFound", ERROR_FILE_NOT_FOUND, false, EXIT_SETUP_FILE_NOT_FOUND},
                    StartFailureCase{"FileNotFoundButThere", ERROR_FILE_NOT_FOUND, true, EXIT_SETUP_FILE_NOT_FOUND},
                    StartFailureCase{"PathNotFound", ERROR_PATH_NOT_FOUND, false, EXIT_SETUP_PATH_NOT_FOUND},
                    StartFailureCase{"BadFormat", ERROR_BAD_EXE_FORMAT, true, EXIT_SETUP_SPAWN_FAILED},
                    StartFailureCase{"AccessDenied", ERROR_ACCESS_DENIED, true, EXIT_SETUP_SPAWN_FAILED}),
    [](const testing::TestParamInfo<StartFailureCase>& info) { return info.param.name; });

TEST(SpawnAndWait, MissingProgramOrDirectoryUnderRealWindows) {
    test::ScratchDirectory folder;
    std::wstring line = L"x";
    EXPECT_EQ(SpawnAndWait((folder / L"setup.exe").c_str(), line.data(), 122, 123, 124),
              (RunOutcome{122, INVALID_FILE_ATTRIBUTES}));
    EXPECT_EQ(SpawnAndWait((folder / L"missing\\setup.exe").c_str(), line.data(), 122, 123, 124),
              (RunOutcome{123, INVALID_FILE_ATTRIBUTES}));
}

TEST(SpawnAndWait, ExitCodesPassUnchanged) {
    const std::wstring cmd = SystemProgram(L"cmd.exe");
    for (const uint32_t code : {0u, 3u, 118u, 0x80000000u, 0xC0000005u}) {
        std::wstring line = L"cmd.exe /c exit " + std::to_wstring(static_cast<int32_t>(code));
        EXPECT_EQ(SpawnAndWait(cmd.c_str(), line.data(), 122, 123, 124), (RunOutcome{code, 0})) << code;
    }
}

TEST(SpawnAndWait, WaitOrExitCodeFailureGives107AndClosesBothHandles) {
    const std::wstring cmd = SystemProgram(L"cmd.exe");
    struct Case {
        const char* name;
        bool failWait;
    };
    for (const Case& c : {Case{"wait", true}, Case{"exit code", false}}) {
        auto wait = SEAM(WaitForSingleObject)::Replace([&](HANDLE process, DWORD timeout) -> DWORD {
            EXPECT_EQ(timeout, INFINITE);
            const DWORD result = SEAM(WaitForSingleObject)::Real(process, timeout);
            if (c.failWait) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            return result;
        });
        auto exitCode = SEAM(GetExitCodeProcess)::Replace([&](HANDLE process, LPDWORD code) -> BOOL {
            if (c.failWait) return SEAM(GetExitCodeProcess)::Real(process, code);
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
        std::wstring line = L"cmd.exe /c exit 0";
        const unsigned long closes = SEAM_CALLS(CloseHandle);
        EXPECT_EQ(SpawnAndWait(cmd.c_str(), line.data(), 122, 123, 124),
                  (RunOutcome{EXIT_SETUP_WAIT_FAILED,
                              static_cast<uint32_t>(c.failWait ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED)}))
            << c.name;
        EXPECT_EQ(SEAM_CALLS(CloseHandle) - closes, 2u) << c.name;
    }
}

}  // namespace
