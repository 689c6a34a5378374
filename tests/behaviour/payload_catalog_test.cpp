#include "payload/resource_catalog.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"

namespace {

using test::LayoutDirectory;
using test::LayoutModule;

// --- StartsWithNoCase ----------------------------------------------------------

struct PrefixCase {
    const char* name;
    const wchar_t* text;
    const wchar_t* prefix;
    bool expected;
};

void PrintTo(const PrefixCase& c, std::ostream* out) { *out << c.name; }

class StartsWithNoCaseTest : public testing::TestWithParam<PrefixCase> {};

TEST_P(StartsWithNoCaseTest, FoldsAsciiLettersOnly) {
    const PrefixCase& c = GetParam();
    EXPECT_EQ(StartsWithNoCase(c.text, c.prefix), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartsWithNoCaseTest,
    testing::Values(PrefixCase{"LowerCase", L"brisel.packed.7z", L"brisel", true},
                    PrefixCase{"UpperCase", L"BRISEL.PACKED.7Z", L"brisel", true},
                    PrefixCase{"MixedCase", L"SeTuP.Ex_", L"setup", true},
                    PrefixCase{"ExactlyThePrefix", L"SETUP", L"setup", true},
                    PrefixCase{"ShorterThanThePrefix", L"SETU", L"setup", false},
                    PrefixCase{"EmptyText", L"", L"setup", false},
                    PrefixCase{"PrefixLater", L"xsetup", L"setup", false},
                    PrefixCase{"EmptyPrefix", L"anything", L"", true},
                    // Pairs 0x20 apart that are not letters: a fold that sets
                    // bit 5 on everything would take them as equal.
                    PrefixCase{"BracketIsNoBrace", L"[", L"{", false},
                    PrefixCase{"AtSignIsNoBacktick", L"@", L"`", false},
                    PrefixCase{"AccentedCapitalIsNotFolded", L"\u00C9", L"\u00E9", false},
                    PrefixCase{"FullWidthLettersAreNotAscii", L"\uFF33\uFF25\uFF34\uFF35\uFF30", L"setup", false},
                    PrefixCase{"NullText", nullptr, L"setup", false},
                    PrefixCase{"NullPrefix", L"setup", nullptr, false}),
    [](const testing::TestParamInfo<PrefixCase>& info) { return info.param.name; });

// --- PayloadFinder -------------------------------------------------------------

// What one finder (or several in a row, as over several types) has recorded.
struct Catalog {
    PathBuffer archiveName;
    PathBuffer setupName;
    EmbeddedResource setup = {nullptr, 0};
    uint32_t error = 0;

    PayloadFinder Finder() { return PayloadFinder(L"brisel", archiveName, setupName, setup, error); }
};

const uint8_t SOME_BYTES[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const EmbeddedResource FIRST = {SOME_BYTES, 4};
const EmbeddedResource SECOND = {SOME_BYTES + 8, 8};

enum class Role { Archive, Setup, Neither };

struct NameCase {
    const char* name;
    const wchar_t* resourceName;
    Role expected;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class PayloadNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(PayloadNameTest, RecognisesTheArchiveThenTheSetupProgramByPrefix) {
    const NameCase& c = GetParam();
    Catalog catalog;
    PayloadFinder finder = catalog.Finder();
    const bool goOn = finder.OnResource(c.resourceName, FIRST);
    switch (c.expected) {
    case Role::Archive:
        EXPECT_TRUE(goOn);
        EXPECT_EQ(catalog.error, 0u);
        EXPECT_STREQ(catalog.archiveName.Text(), c.resourceName);
        EXPECT_EQ(catalog.setup.size, 0u);
        break;
    case Role::Setup:
        EXPECT_TRUE(goOn);
        EXPECT_EQ(catalog.error, 0u);
        EXPECT_TRUE(catalog.archiveName.IsEmpty());
        EXPECT_STREQ(catalog.setupName.Text(), c.resourceName);
        EXPECT_EQ(catalog.setup.data, FIRST.data);
        EXPECT_EQ(catalog.setup.size, FIRST.size);
        break;
    case Role::Neither:
        EXPECT_FALSE(goOn) << "the enumeration must stop";
        EXPECT_EQ(catalog.error, static_cast<uint32_t>(ERROR_INVALID_DATA));
        EXPECT_TRUE(catalog.archiveName.IsEmpty());
        EXPECT_EQ(catalog.setup.size, 0u);
        break;
    }
}

// Resource compilers store names upper case; the lower and mixed case names
// are what another tool (or a resource editor) may write.
INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadNameTest,
    testing::Values(NameCase{"ArchiveUpperCase", L"BRISEL.PACKED.7Z", Role::Archive},
                    NameCase{"ArchiveLowerCase", L"brisel.packed.7z", Role::Archive},
                    NameCase{"ArchiveMixedCase", L"Brisel.Packed.7z", Role::Archive},
                    NameCase{"ArchiveFollowedBySetup", L"briselSETUP.exe", Role::Archive},
                    NameCase{"SetupUpperCase", L"SETUP.EX_", Role::Setup},
                    NameCase{"SetupLowerCase", L"setup.exe", Role::Setup},
                    NameCase{"SetupMixedCase", L"SetUp.Ex_", Role::Setup},
                    NameCase{"SetupFollowedByArchive", L"SETUPBRISEL", Role::Setup},
                    NameCase{"ArchivePrefixCut", L"BRISE.7Z", Role::Neither},
                    NameCase{"SetupPrefixCut", L"SETU", Role::Neither},
                    NameCase{"PrefixNotAtTheStart", L"XSETUP.EXE", Role::Neither},
                    NameCase{"LeadingSpace", L" setup.exe", Role::Neither},
                    NameCase{"Unrelated", L"README.TXT", Role::Neither},
                    NameCase{"Empty", L"", Role::Neither},
                    // A setup name becomes a file name in the scratch
                    // directory, so it must not reach beyond it.
                    NameCase{"SetupClimbingOutWithBackslashes", L"SETUP\\..\\..\\OUTSIDE.EX_", Role::Neither},
                    NameCase{"SetupClimbingOutWithSlashes", L"SETUP/../../OUTSIDE.EX_", Role::Neither},
                    NameCase{"SetupInASubdirectory", L"SETUP\\SETUP.EX_", Role::Neither},
                    NameCase{"SetupWithADriveRelativePart", L"SETUP\\..\\C:x", Role::Neither},
                    NameCase{"SetupStream", L"SETUP.EX_:s", Role::Neither},
                    NameCase{"SetupEndingInABackslash", L"SETUP.EX_\\", Role::Neither},
                    NameCase{"SetupEndingInASlash", L"SETUP.EX_/", Role::Neither},
                    NameCase{"SetupEndingInAColon", L"SETUP.EX_:", Role::Neither},
                    NameCase{"SetupPrefixThenABackslash", L"SETUP\\", Role::Neither},
                    NameCase{"SetupWithDotsOnly", L"SETUP..EX_", Role::Setup},
                    // The archive's name never becomes a file name.
                    NameCase{"ArchiveWithASeparator", L"BRISEL\\A:B", Role::Archive}),
    [](const testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST(PayloadFinder, SecondArchiveIsTooManyNames) {
    Catalog catalog;
    {
        PayloadFinder finder = catalog.Finder();
        ASSERT_TRUE(finder.OnResource(L"BRISEL.A", FIRST));
    }
    // A finder for the next type adds to what the first recorded.
    PayloadFinder finder = catalog.Finder();
    EXPECT_FALSE(finder.OnResource(L"brisel.b", SECOND));
    EXPECT_EQ(catalog.error, static_cast<uint32_t>(ERROR_TOO_MANY_NAMES));
    EXPECT_STREQ(catalog.archiveName.Text(), L"BRISEL.A");
}

TEST(PayloadFinder, SecondSetupProgramIsTooManyNamesAndKeepsTheFirst) {
    for (bool sameFinder : {true, false}) {
        Catalog catalog;
        PayloadFinder first = catalog.Finder();
        ASSERT_TRUE(first.OnResource(L"SETUP.EX_", FIRST));
        PayloadFinder second = catalog.Finder();
        PayloadFinder& finder = sameFinder ? first : second;
        EXPECT_FALSE(finder.OnResource(L"SETUP.EXE", SECOND)) << "same finder: " << sameFinder;
        EXPECT_EQ(catalog.error, static_cast<uint32_t>(ERROR_TOO_MANY_NAMES));
        EXPECT_EQ(catalog.setup.data, FIRST.data);
        EXPECT_EQ(catalog.setup.size, FIRST.size);
    }
}

struct LengthCase {
    const char* name;
    const wchar_t* prefix;
    size_t units;
    uint32_t expectedError;
};

void PrintTo(const LengthCase& c, std::ostream* out) { *out << c.name; }

class PayloadNameLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(PayloadNameLengthTest, NameOf260UnitsIsOutOfRange) {
    const LengthCase& c = GetParam();
    std::wstring name = c.prefix;
    name.resize(c.units, L'X');
    Catalog catalog;
    PayloadFinder finder = catalog.Finder();
    EXPECT_EQ(finder.OnResource(name.c_str(), FIRST), c.expectedError == 0);
    EXPECT_EQ(catalog.error, c.expectedError);
    if (c.expectedError == 0) {
        EXPECT_EQ(std::wstring(catalog.archiveName.Text()) + catalog.setupName.Text(), name);
    } else {
        EXPECT_EQ(catalog.setup.size, 0u) << "a setup program without its name was recorded";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadNameLengthTest,
    testing::Values(LengthCase{"Archive259", L"BRISEL", 259, 0},
                    LengthCase{"Archive260", L"BRISEL", 260, ERROR_FILENAME_EXCED_RANGE},
                    LengthCase{"Setup259", L"SETUP", 259, 0},
                    LengthCase{"Setup260", L"SETUP", 260, ERROR_FILENAME_EXCED_RANGE},
                    LengthCase{"Setup1000", L"SETUP", 1000, ERROR_FILENAME_EXCED_RANGE}),
    [](const testing::TestParamInfo<LengthCase>& info) { return info.param.name; });

// --- EnumerateResourcesOfType over real modules ------------------------------

// Records what it is handed and asks to go on until it has seen `limit`.
class RecordingVisitor final : public ResourceVisitor {
public:
    explicit RecordingVisitor(size_t limit = 100) : limit_(limit) {}

    bool OnResource(const wchar_t* name, const EmbeddedResource& resource) override {
        names.push_back(name);
        data.push_back(resource.data);
        bytes.emplace_back(reinterpret_cast<const char*>(resource.data), static_cast<size_t>(resource.size));
        return names.size() < limit_;
    }

    std::vector<std::wstring> names;
    std::vector<const uint8_t*> data;
    std::vector<std::string> bytes;

private:
    size_t limit_;
};

struct EnumerationCase {
    const char* name;
    const wchar_t* layout;
    const wchar_t* type;
    size_t limit;
    std::vector<std::wstring> expectedNames;
};

void PrintTo(const EnumerationCase& c, std::ostream* out) { *out << c.name; }

class EnumerationTest : public testing::TestWithParam<EnumerationCase> {};

// The system hands out the named entries of a type sorted, before the
// integer identifiers.
TEST_P(EnumerationTest, HandsOutNamedResourcesUntilOneIsNoPayload) {
    const EnumerationCase& c = GetParam();
    LayoutModule module(c.layout);
    ASSERT_NE(module.Get(), nullptr);
    RecordingVisitor visitor(c.limit);
    EnumerateResourcesOfType(visitor, module.Get(), c.type);
    EXPECT_EQ(visitor.names, c.expectedNames);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnumerationTest,
    testing::Values(
        EnumerationCase{"AllNamesSorted", L"two_setups_beside_archive", L"B7", 100,
                        {L"BRISEL.PACKED.7Z", L"SETUP.A", L"SETUP.B"}},
        EnumerationCase{"VisitorStopsIt", L"two_setups_beside_archive", L"B7", 2, {L"BRISEL.PACKED.7Z", L"SETUP.A"}},
        EnumerationCase{"IntegerIdentifierEndsTheType", L"integer_ids", L"B7", 100, {L"BRISEL.PACKED.7Z"}},
        EnumerationCase{"OnlyAnIntegerIdentifier", L"integer_ids", L"BN", 100, {}},
        EnumerationCase{"EmptyResourceEndsTheType", L"zero_size_first", L"B7", 100, {}},
        EnumerationCase{"MissingType", L"no_setup", L"BL", 100, {}},
        EnumerationCase{"NameOf260Units", L"archive_name_260", L"B7", 100,
                        {L"BRISEL" + std::wstring(254, L'X')}}),
    [](const testing::TestParamInfo<EnumerationCase>& info) { return info.param.name; });

// Called directly: Wine's EnumResourceNamesW swallows a fault in its
// callback and just ends the enumeration, so a visitor handed an integer
// identifier as text would go unnoticed through it.
TEST(ResourceNameCallback, IntegerIdentifierEndsTheTypeWithoutReachingTheVisitor) {
    LayoutModule module(L"integer_ids");
    ASSERT_NE(module.Get(), nullptr);
    ASSERT_NE(FindResourceW(module.Get(), MAKEINTRESOURCEW(7), L"B7"), nullptr);
    RecordingVisitor visitor;
    EXPECT_FALSE(ResourceNameCallback(module.Get(), L"B7", MAKEINTRESOURCEW(7),
                                      reinterpret_cast<LONG_PTR>(static_cast<ResourceVisitor*>(&visitor))));
    EXPECT_TRUE(visitor.names.empty());
}

TEST(EnumerateResourcesOfType, HandsOutTheResourceBytesWhereTheImageHoldsThem) {
    LayoutModule module(L"two_setups_beside_archive");
    ASSERT_NE(module.Get(), nullptr);
    RecordingVisitor visitor;
    EnumerateResourcesOfType(visitor, module.Get(), L"B7");
    ASSERT_EQ(visitor.bytes.size(), 3u);
    const auto* image = reinterpret_cast<const uint8_t*>(module.Get());
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    for (size_t i = 0; i < visitor.data.size(); ++i) {
        EXPECT_GE(visitor.data[i], image) << i;
        EXPECT_LE(visitor.data[i] + visitor.bytes[i].size(), image + headers->OptionalHeader.SizeOfImage) << i;
    }
    EXPECT_EQ(visitor.bytes[0], test::ReadBytes(LayoutDirectory() + L"archive.7z"));
    EXPECT_EQ(visitor.bytes[1], test::ReadBytes(LayoutDirectory() + L"setup.bin"));
    EXPECT_EQ(visitor.bytes[2], visitor.bytes[1]);
}

}  // namespace
