#include "settings/launch_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"

namespace {

// --- The registry value, read from Wine's real registry -------------------

struct RegistryCase {
    const char* name;
    bool present;
    DWORD type;
    std::string data;  // stored exactly: no terminator is added
    bool expectedRemoveAfterRun;
};

std::string Units(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

class RegistryValueTest : public testing::TestWithParam<RegistryCase> {};

TEST_P(RegistryValueTest, OnlyASingleZeroTurnsRemovalOff) {
    const RegistryCase& c = GetParam();
    test::CleanupRegistryValue value;
    if (c.present) {
        value.Set(c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    }
    LaunchSettings settings;
    ASSERT_TRUE(settings.Initialize(InstallerNames()));
    EXPECT_EQ(settings.removeAfterRun, c.expectedRemoveAfterRun);
    EXPECT_FALSE(settings.rejectedSwitchSeen);
}

const std::string ZERO_WITH_TERMINATOR = Units(std::wstring(L"0\0", 2));

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryValueTest,
    testing::Values(RegistryCase{"KeyMissing", false, 0, "", true},
                    RegistryCase{"ZeroWithTerminator", true, REG_SZ, ZERO_WITH_TERMINATOR, false},
                    RegistryCase{"ZeroWithoutTerminator", true, REG_SZ, Units(L"0"), false},
                    RegistryCase{"ZeroAndAnOddByte", true, REG_SZ, Units(L"0") + "x", false},
                    RegistryCase{"One", true, REG_SZ, Units(std::wstring(L"1\0", 2)), true},
                    RegistryCase{"EmptyString", true, REG_SZ, Units(std::wstring(L"\0", 1)), true},
                    RegistryCase{"ZeroBytes", true, REG_SZ, "", true},
                    RegistryCase{"TwoZeros", true, REG_SZ, Units(std::wstring(L"00\0", 3)), true},
                    RegistryCase{"ZeroAndSpaceUnterminated", true, REG_SZ, Units(L"0 "), true},
                    RegistryCase{"DwordZero", true, REG_DWORD, std::string(4, '\0'), true},
                    RegistryCase{"ExpandStringZero", true, REG_EXPAND_SZ, ZERO_WITH_TERMINATOR, true},
                    RegistryCase{"MultiStringZero", true, REG_MULTI_SZ, Units(std::wstring(L"0\0\0", 3)), true}),
    [](const testing::TestParamInfo<RegistryCase>& info) { return info.param.name; });

TEST(ReadRegistryString, OpensTheKeyOnlyToReadAndClosesItOnEveryPath) {
    test::CleanupRegistryValue value;
    value.Set(REG_DWORD, "\0\0\0\0", 4);
    // Asking for more than reading would lose the setting for a user who may
    // only read the key (Wine's registry grants everything, so the request
    // itself is what shows).
    std::vector<REGSAM> requested;
    auto open = SEAM(RegOpenKeyExW)::Replace([&](HKEY root, LPCWSTR name, DWORD options, REGSAM access, PHKEY key) {
        requested.push_back(access);
        return SEAM(RegOpenKeyExW)::Real(root, name, options, access, key);
    });
    const unsigned long opened = SEAM_CALLS(RegOpenKeyExW);
    const unsigned long closed = SEAM_CALLS(RegCloseKey);
    wchar_t buffer[2] = {0, 0};
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Tolvane", L"BriselInstallerCleanup", buffer, 2));
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Tolvane", L"NoSuchValue", buffer, 2));
    EXPECT_EQ(SEAM_CALLS(RegOpenKeyExW) - opened, 2u);
    EXPECT_EQ(SEAM_CALLS(RegCloseKey) - closed, 2u);
    EXPECT_EQ(requested, (std::vector<REGSAM>{KEY_QUERY_VALUE, KEY_QUERY_VALUE}));
}

// --- The refused switches ---------------------------------------------------

struct SwitchCase {
    const char* name;
    std::wstring commandLine;
    bool expectedRejected;
};

void PrintTo(const SwitchCase& c, std::ostream* out) { *out << c.name; }

class RejectedSwitchTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(RejectedSwitchTest, ComparesWholeArgumentsIgnoringCase) {
    const SwitchCase& c = GetParam();
    std::wstring text = c.commandLine;
    LaunchSettings settings;
    ASSERT_TRUE(settings.ParseCommandLine(text.data(), InstallerNames()));
    EXPECT_EQ(settings.rejectedSwitchSeen, c.expectedRejected);
    EXPECT_EQ(settings.commandLine, text.data());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectedSwitchTest,
    testing::Values(SwitchCase{"Cleanup", L"stub.exe --cleanup", true},
                    SwitchCase{"CleanupUpperCase", L"stub.exe --CLEANUP", true},
                    SwitchCase{"FrameMixedCase", L"stub.exe --Brisel-Frame", true},
                    SwitchCase{"FrameQuoted", L"stub.exe \"--brisel-frame\"", true},
                    SwitchCase{"FirstOfSeveral", L"\"C:\\a b\\stub.exe\" --cleanup x y", true},
                    SwitchCase{"LastOfSeveral", L"stub.exe x\ty --brisel-frame", true},
                    SwitchCase{"WithValue", L"stub.exe --cleanup=1", false},
                    SwitchCase{"WithMoreLetters", L"stub.exe --cleanupnow", false},
                    SwitchCase{"SingleDash", L"stub.exe -cleanup", false},
                    SwitchCase{"ProgramNameOnly", L"--cleanup", false},
                    SwitchCase{"QuotedProgramName", L"\"--cleanup\" other", false},
                    SwitchCase{"PartOfAQuotedArgument", L"stub.exe \"--cleanup now\"", false},
                    SwitchCase{"NoArguments", L"stub.exe", false}),
    [](const testing::TestParamInfo<SwitchCase>& info) { return info.param.name; });

// The switches the stub gives its setup program, given again by whoever
// started it: refused up to the first "=" (or whole), in any case, with a
// value or without, so that no setup program can take a second one for the
// stub's.
class ProtocolSwitchTest : public testing::TestWithParam<SwitchCase> {};

TEST_P(ProtocolSwitchTest, RefusesTheStubsOwnSwitchesUpToTheirEqualsSign) {
    const SwitchCase& c = GetParam();
    std::wstring text = c.commandLine;
    const std::wstring before = text;
    LaunchSettings settings;
    ASSERT_TRUE(settings.ParseCommandLine(text.data(), InstallerNames()));
    EXPECT_EQ(settings.rejectedSwitchSeen, c.expectedRejected);
    // Compared in the settings' own vector, and put back: the text passed on
    // and every argument are as they were.
    EXPECT_EQ(text, before);
    int count = 0;
    LPWSTR* fresh = CommandLineToArgvW(before.c_str(), &count);
    ASSERT_EQ(count, settings.argumentCount);
    for (int i = 0; i < count; ++i) {
        EXPECT_STREQ(settings.argumentVector[i], fresh[i]) << "argument " << i;
    }
    LocalFree(fresh);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProtocolSwitchTest,
    testing::Values(SwitchCase{"PathSwitchWithAValue", L"stub.exe --ferrolt-path=\"C:\\x\\its-own.exe\"", true},
                    SwitchCase{"PathSwitchAlone", L"stub.exe --ferrolt-path", true},
                    SwitchCase{"PathSwitchInAnyCase", L"stub.exe --FERROLT-Path=x", true},
                    SwitchCase{"PathSwitchWithAnEmptyValue", L"stub.exe a --ferrolt-path= b", true},
                    SwitchCase{"ArchiveName", L"stub.exe --archive-resource-name=OTHER.7Z", true},
                    SwitchCase{"ArchiveNameAlone", L"stub.exe --Archive-Resource-Name", true},
                    SwitchCase{"ArchiveType", L"stub.exe --archive-resource-type=BN", true},
                    SwitchCase{"ArchiveTypeQuoted", L"stub.exe \"--archive-resource-type=B 7\"", true},
                    SwitchCase{"TheValueHoldsAnotherEquals", L"stub.exe --archive-resource-type=a=b", true},
                    SwitchCase{"AfterOtherArguments", L"stub.exe /quiet --x=1 --ferrolt-path=y", true},
                    SwitchCase{"ALongerName", L"stub.exe --ferrolt-paths=x", false},
                    SwitchCase{"AShorterName", L"stub.exe --ferrolt-pat=x", false},
                    SwitchCase{"OneDash", L"stub.exe -ferrolt-path=x", false},
                    SwitchCase{"NoDashes", L"stub.exe ferrolt-path=x", false},
                    SwitchCase{"AsAValueOfAnother", L"stub.exe --x=--ferrolt-path=y", false},
                    SwitchCase{"OnlyDashes", L"stub.exe -- --=x", false},
                    SwitchCase{"ProgramName", L"--ferrolt-path=x", false},
                    // Two quotes in a row inside a span: CommandLineToArgvW
                    // leaves the span (`ab"`, then ` --ferrolt-path=...` with
                    // its blank), today's C run-time stays in it (`ab" `, then
                    // the switch), and the setup program splits by the latter.
                    SwitchCase{"HiddenFromTheSystemSplit", L"stub.exe a\"b\"\" \" --ferrolt-path=C:\\evil.exe", true},
                    SwitchCase{"RefusedSwitchHiddenFromTheSystemSplit", L"stub.exe a\"b\"\" \" --cleanup", true},
                    SwitchCase{"FrameHiddenFromTheSystemSplit", L"stub.exe a\"b\"\" \" --Brisel-Frame", true},
                    SwitchCase{"HiddenWithALongValue",
                               L"stub.exe a\"b\"\" \" --archive-resource-name=" + std::wstring(300, L'x'), true},
                    // The other way round: the run-time sees `a" --cleanup`,
                    // the system split `a"` and the switch.
                    SwitchCase{"HiddenFromTheRuntimeSplit", L"stub.exe \"a\"\" --cleanup\"", true},
                    // The run-time gives `a"b` and `c`, the system split
                    // `a"b c` (it leaves the span and the next quote opens
                    // another): no switch in either.
                    SwitchCase{"DoubledQuotesWithoutASwitch", L"stub.exe \"a\"\"b\" c", false},
                    // Both give `ab" ` or `ab"` and then ` x`: no switch in either.
                    SwitchCase{"DoubledQuotesBeforeAnotherArgument", L"stub.exe a\"b\"\" \" x", false},
                    // An odd run gives a literal quote in both: one argument,
                    // `"--ferrolt-path=x"`, which starts with a quote.
                    SwitchCase{"EscapedQuotesAroundASwitch", L"stub.exe \\\"--ferrolt-path=x\\\"", false},
                    // An even run lets the quote act: `\` and a span holding
                    // the switch after a blank, in both.
                    SwitchCase{"EvenBackslashesOpenASpan", L"stub.exe \\\\\"x --ferrolt-path=y\"", false},
                    // `\\""` in a span: one backslash, then the doubled quote,
                    // and the run-times part as above.
                    SwitchCase{"EvenBackslashesBeforeDoubledQuotes", L"stub.exe a\"b\\\\\"\" \" --cleanup", true},
                    // `\\\""` in a span: `\"` is literal and the next quote
                    // closes the span in both, so both give `ab\"` and
                    // ` --cleanup`.
                    SwitchCase{"OddBackslashesBeforeDoubledQuotes", L"stub.exe a\"b\\\\\\\"\" \" --cleanup", false},
                    // Backslashes before anything else are literal: the
                    // argument starts with `\`.
                    SwitchCase{"BackslashBeforeASwitch", L"stub.exe a\"b\"\" \" \\--cleanup", false},
                    // A tail glued to the closing quote of the program name
                    // is passed on after a blank of its own, and split from
                    // there.
                    SwitchCase{"HiddenAndGluedToTheProgramName", L"\"stub.exe\"a\"b\"\" \" --cleanup", true}),
    [](const testing::TestParamInfo<SwitchCase>& info) { return info.param.name; });

// The second split keeps only the head of each argument: "--", a name of the
// longest length a release may give and its "=". A head a unit short would
// miss the switch, or take a longer name for it.
TEST(ProtocolSwitch, NamesOfTheLongestLengthAreJudgedWhole) {
    const std::wstring name(SWITCH_NAME_LIMIT, L'n');
    const std::wstring refused = L"--" + std::wstring(SWITCH_NAME_LIMIT - 2, L'r');
    InstallerNames names;
    names.pathSwitch = name.c_str();
    names.refusedSwitches[0] = refused.c_str();
    const std::wstring hidden = L"stub.exe a\"b\"\" \" ";
    for (const auto& [tail, rejected] : {std::pair<std::wstring, bool>{L"--" + name + L"=x", true},
                                         std::pair<std::wstring, bool>{L"--" + name, true},
                                         std::pair<std::wstring, bool>{L"--" + name + L"n=x", false},
                                         std::pair<std::wstring, bool>{L"--" + name + L"n", false},
                                         std::pair<std::wstring, bool>{refused, true},
                                         std::pair<std::wstring, bool>{refused + L"r", false},
                                         std::pair<std::wstring, bool>{refused + std::wstring(100, L'r'), false}}) {
        std::wstring text = hidden + tail;
        LaunchSettings settings;
        ASSERT_TRUE(settings.ParseCommandLine(text.data(), names));
        EXPECT_EQ(settings.rejectedSwitchSeen, rejected) << test::Narrow(tail);
    }
}

// A release's own path switch is the one refused; the project's then passes
// on like any other argument.
TEST(ProtocolSwitch, TheInstallersOwnPathSwitchIsRefused) {
    InstallerNames names;
    names.pathSwitch = L"installer-path";
    for (const auto& [line, rejected] : {std::pair<std::wstring, bool>{L"stub.exe --Installer-Path=x", true},
                                         std::pair<std::wstring, bool>{L"stub.exe --ferrolt-path=x", false}}) {
        std::wstring text = line;
        LaunchSettings settings;
        ASSERT_TRUE(settings.ParseCommandLine(text.data(), names));
        EXPECT_EQ(settings.rejectedSwitchSeen, rejected) << test::Narrow(line);
    }
}

// --- Splitting failures and ownership of the argument vector -----------------

TEST(LaunchSettings, SplitFailureReturnsFalseWithItsError) {
    auto split = SEAM(CommandLineToArgvW)::Replace([](LPCWSTR, int*) -> LPWSTR* {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    });
    LaunchSettings settings;
    EXPECT_FALSE(settings.Initialize(InstallerNames()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(settings.argumentVector, nullptr);
}

TEST(LaunchSettings, ReleasesTheVectorOnReinitialiseAndDestruction) {
    const unsigned long before = SEAM_CALLS(LocalFree);
    {
        LaunchSettings settings;
        ASSERT_TRUE(settings.Initialize(InstallerNames()));
        ASSERT_NE(settings.argumentVector, nullptr);
        ASSERT_TRUE(settings.Initialize(InstallerNames()));
        EXPECT_EQ(SEAM_CALLS(LocalFree) - before, 1u) << "the first vector was not released";
    }
    EXPECT_EQ(SEAM_CALLS(LocalFree) - before, 2u) << "destruction did not release the vector";
}

TEST(LaunchSettings, ReinitialiseStartsFromTheInitialState) {
    std::wstring refused = L"stub.exe --cleanup";
    LaunchSettings settings;
    ASSERT_TRUE(settings.ParseCommandLine(refused.data(), InstallerNames()));
    ASSERT_TRUE(settings.rejectedSwitchSeen);
    ASSERT_TRUE(settings.Initialize(InstallerNames()));  // the test program's own command line
    EXPECT_FALSE(settings.rejectedSwitchSeen);
    EXPECT_TRUE(settings.removeAfterRun);
}

}  // namespace
