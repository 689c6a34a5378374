#include "settings/installer_names.h"

#include <gtest/gtest.h>

#include <string>

#include "entry/run_stub.h"
#include "launch/setup_launch.h"
#include "payload/resource_catalog.h"
#include "seam_hooks.h"
#include "test_support.h"

namespace {

std::wstring Text(const wchar_t* text) { return text == nullptr ? L"(null)" : text; }

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The names of names_at_limits (make_test_data.py): each text at its limit.
const std::wstring KEY_AT_LIMIT = L"Software\\" + std::wstring(246, L'k');
const std::wstring VALUE_AT_LIMIT(255, L'v');
const std::wstring SWITCH_AT_LIMIT(64, L's');
const std::wstring PREFIX_AT_LIMIT(64, L'p');

std::wstring RefusedAtLimit(int number) {
    const wchar_t digits[] = {static_cast<wchar_t>(L'0' + number / 10), static_cast<wchar_t>(L'0' + number % 10), 0};
    return std::wstring(L"--r") + digits + std::wstring(59, L'x');
}

TEST(InstallerNames, AreTheProjectsOwnWithoutTheResource) {
    // Compared with literals: they are what installers without names have
    // always used, and what updaters and setup programs rely on.
    InstallerNames names;
    ASSERT_TRUE(ReadInstallerNames(GetModuleHandleW(nullptr), names));  // the test program carries none
    EXPECT_EQ(Text(names.cleanupKey), L"Software\\Tolvane");
    EXPECT_EQ(Text(names.cleanupValue), L"BriselInstallerCleanup");
    EXPECT_EQ(Text(names.pathSwitch), L"ferrolt-path");
    EXPECT_EQ(Text(names.archivePrefix), L"brisel");
    ASSERT_EQ(names.refusedSwitchCount, 2u);
    EXPECT_EQ(Text(names.refusedSwitches[0]), L"--cleanup");
    EXPECT_EQ(Text(names.refusedSwitches[1]), L"--brisel-frame");
}

TEST(InstallerNames, EachAtItsLimitIsTakenWhereTheResourceLies) {
    test::LayoutModule layout(L"names_at_limits");
    InstallerNames names;
    ASSERT_TRUE(ReadInstallerNames(layout.Get(), names));
    EXPECT_EQ(Text(names.cleanupKey), KEY_AT_LIMIT);
    EXPECT_EQ(Text(names.cleanupValue), VALUE_AT_LIMIT);
    EXPECT_EQ(Text(names.pathSwitch), SWITCH_AT_LIMIT);
    EXPECT_EQ(Text(names.archivePrefix), PREFIX_AT_LIMIT);
    ASSERT_EQ(names.refusedSwitchCount, REFUSED_SWITCH_COUNT_LIMIT);
    for (uint32_t index = 0; index < REFUSED_SWITCH_COUNT_LIMIT; ++index) {
        EXPECT_EQ(Text(names.refusedSwitches[index]), RefusedAtLimit(static_cast<int>(index))) << index;
    }
    // Pointers into the mapped resource, not copies.
    HRSRC found = FindResourceW(layout.Get(), L"NAMES", MAKEINTRESOURCEW(10));
    ASSERT_NE(found, nullptr);
    const auto* begin = static_cast<const wchar_t*>(LockResource(LoadResource(layout.Get(), found)));
    EXPECT_EQ(names.cleanupKey, begin);
    EXPECT_EQ(names.cleanupValue, begin + KEY_AT_LIMIT.size() + 1);
}

// The parse itself, on texts made here: every way a resource can end.
struct ParseCase {
    const char* name;
    std::wstring units;  // the resource, NULs included
    bool taken;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

std::wstring Joined(std::initializer_list<std::wstring> texts) {
    std::wstring joined;
    for (const std::wstring& text : texts) {
        joined += text;
        joined.push_back(L'\0');
    }
    return joined;
}

class ParseNamesTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseNamesTest, TakesAWholeResourceAndNothingElse) {
    const ParseCase& c = GetParam();
    // Exactly the resource's units on the heap: a read past them is a read
    // past the block.
    std::wstring held = c.units;
    InstallerNames names;
    EXPECT_EQ(ParseInstallerNames(held.data(), static_cast<uint32_t>(held.size()), names), c.taken);
}

const std::wstring FOUR = Joined({L"K", L"V", L"s", L"p"});

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseNamesTest,
    testing::Values(ParseCase{"FourNamesAndNoRefusedSwitch", FOUR + std::wstring(1, L'\0'), true},
                    ParseCase{"Empty", L"", false},
                    ParseCase{"FourNamesWithoutTheListsEnd", FOUR, false},
                    ParseCase{"OneLoneNul", std::wstring(1, L'\0'), false},
                    ParseCase{"EmptyValue", Joined({L"K", L"", L"s", L"p", L""}), false},
                    ParseCase{"EmptySwitch", Joined({L"K", L"V", L"", L"p", L""}), false},
                    ParseCase{"EmptyPrefix", Joined({L"K", L"V", L"s", L"", L""}), false},
                    ParseCase{"KeyAtItsLimit", Joined({std::wstring(255, L'k'), L"V", L"s", L"p", L""}), true},
                    ParseCase{"ValueOverItsLimit", Joined({L"K", std::wstring(256, L'v'), L"s", L"p", L""}), false},
                    ParseCase{"SwitchAtItsLimit", Joined({L"K", L"V", std::wstring(64, L's'), L"p", L""}), true},
                    ParseCase{"PrefixOverItsLimit", Joined({L"K", L"V", L"s", std::wstring(65, L'p'), L""}), false},
                    ParseCase{"RefusedSwitchAtItsLimit", FOUR + Joined({std::wstring(64, L'r'), L""}), true},
                    ParseCase{"RefusedSwitchOverItsLimit", FOUR + Joined({std::wstring(65, L'r'), L""}), false},
                    ParseCase{"LastRefusedSwitchWithoutItsNul", FOUR + L"--r", false},
                    ParseCase{"AUnitAfterTheEnd", FOUR + Joined({L"--r", L""}) + L"x", false},
                    ParseCase{"ATextAfterTheEnd", FOUR + Joined({L"--r", L"", L"--s", L""}), false}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

// A malformed resource ends the run before the registry, the command line or
// any file is looked at: a release's installer never runs under the
// project's names, or under half of its own.
class MalformedNamesTest : public testing::TestWithParam<const char*> {};

TEST_P(MalformedNamesTest, EndTheRunBeforeAnythingIsDone) {
    test::LayoutModule layout(L"names_" + Wide(GetParam()));
    ASSERT_NE(layout.Get(), nullptr);
    const unsigned long registry = SEAM_CALLS(RegOpenKeyExW);
    const unsigned long commandLine = SEAM_CALLS(GetCommandLineW);
    const unsigned long ownPath = SEAM_CALLS(GetModuleFileNameW);
    const unsigned long opens = SEAM_CALLS(CreateFileW);
    const unsigned long creations = SEAM_CALLS(NtCreateFile);
    EXPECT_EQ(RunStub(layout.Get()), (RunOutcome{EXIT_INSTALLER_NAMES_FAILED, ERROR_INVALID_DATA}));
    EXPECT_EQ(SEAM_CALLS(RegOpenKeyExW), registry) << "the registry was read";
    EXPECT_EQ(SEAM_CALLS(GetCommandLineW), commandLine) << "the command line was taken";
    EXPECT_EQ(SEAM_CALLS(GetModuleFileNameW), ownPath) << "the installer's path was read";
    EXPECT_EQ(SEAM_CALLS(CreateFileW), opens) << "something was opened";
    EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations) << "something was created";
}

INSTANTIATE_TEST_SUITE_P(EachFieldCutShortOrOverlong, MalformedNamesTest,
                         testing::Values("key_cut", "key_long", "value_cut", "value_long", "switch_cut",
                                         "switch_long", "prefix_cut", "prefix_long", "refused_cut", "refused_long",
                                         "seventeen", "empty_key", "no_end", "odd", "trailing"));

TEST(InstallerNames, ARunTakesTheRegistryValueAndTheRefusedSwitchesFromTheResource) {
    test::LayoutModule layout(L"names_at_limits");
    std::wstring askedKey;
    auto open = SEAM(RegOpenKeyExW)::Replace([&](HKEY, LPCWSTR key, DWORD, REGSAM, PHKEY) -> LSTATUS {
        askedKey = key;
        return ERROR_FILE_NOT_FOUND;
    });
    // The 16th refused switch, in other cases: refused before any file.
    std::wstring line = L"stub.exe a --R15" + std::wstring(59, L'X');
    auto commandLine = SEAM(GetCommandLineW)::Replace([&line]() -> LPWSTR { return line.data(); });
    const unsigned long opens = SEAM_CALLS(CreateFileW);
    EXPECT_EQ(RunStub(layout.Get()), (RunOutcome{EXIT_REJECTED_SWITCH, 0}));
    EXPECT_EQ(askedKey, KEY_AT_LIMIT);
    EXPECT_EQ(SEAM_CALLS(CreateFileW), opens);
}

TEST(InstallerNames, TheProjectsOwnSwitchesPassWhenAReleaseGivesItsOwn) {
    test::LayoutModule layout(L"names_at_limits");
    InstallerNames names;
    ASSERT_TRUE(ReadInstallerNames(layout.Get(), names));
    LaunchSettings settings;
    std::wstring line = L"stub.exe --cleanup --brisel-frame";
    ASSERT_TRUE(settings.ParseCommandLine(line.data(), names));
    EXPECT_FALSE(settings.rejectedSwitchSeen);
}

TEST(InstallerNames, TheCatalogRecognisesTheArchiveByTheGivenPrefix) {
    PathBuffer archiveName;
    PathBuffer setupName;
    EmbeddedResource setup = {nullptr, 0};
    uint32_t error = 0;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    PayloadFinder finder(L"Product.Data.7z", archiveName, setupName, setup, error);
    EXPECT_TRUE(finder.OnResource(L"PRODUCT.DATA.7Z", {bytes, 4}));
    EXPECT_STREQ(archiveName.Text(), L"PRODUCT.DATA.7Z");
    // The project's own name is no archive of this installer's.
    EXPECT_FALSE(finder.OnResource(L"BRISEL.PACKED.7Z", {bytes, 4}));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_DATA));
}

}  // namespace
