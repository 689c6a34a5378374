#include "text/bounded_text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

namespace {

constexpr wchar_t FILL = L'#';

// A raw array standing in for any buffer kind: `capacity` + 1 units, every
// unit preset to FILL so that a stray write anywhere shows, and the permanent
// terminator at the end as a real buffer has it.
struct RawBuffer {
    explicit RawBuffer(uint64_t capacity, const std::wstring& text = L"") : units(capacity + 1, FILL) {
        units[capacity] = 0;
        if (capacity > 0) {
            std::copy(text.begin(), text.end(), units.begin());
            if (text.size() < capacity) {
                units[text.size()] = 0;
            }
        }
    }
    std::wstring Text() const { return std::wstring(units.data()); }
    std::wstring units;
};

std::wstring Repeat(wchar_t unit, size_t count) { return std::wstring(count, unit); }

struct LengthCase {
    const char* name;
    uint64_t capacity;
    std::wstring contents;  // written into the buffer without adding a terminator
    uint64_t expected;
};

class BoundedLengthTest : public testing::TestWithParam<LengthCase> {};

TEST_P(BoundedLengthTest, MeasuresWithinTheCapacity) {
    const LengthCase& c = GetParam();
    RawBuffer buffer(c.capacity);
    std::copy(c.contents.begin(), c.contents.end(), buffer.units.begin());
    EXPECT_EQ(BoundedLength(buffer.units.data(), c.capacity), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundedLengthTest,
    testing::Values(LengthCase{"CapacityZeroReadsNothing", 0, L"", 0},
                    LengthCase{"CapacityOneReadsNothing", 1, L"x", 0},
                    LengthCase{"CapacityTwoLooksAtUnitZeroOnlyEmpty", 2, std::wstring(L"\0y", 2), 0},
                    LengthCase{"CapacityTwoLooksAtUnitZeroOnlyFull", 2, L"xy", 1},
                    LengthCase{"TextOf259InPathBuffer", 260, Repeat(L'a', 259) + std::wstring(1, L'\0'), 259},
                    LengthCase{"NoNulInFirst259UnitsOfPathBuffer", 260, Repeat(L'a', 260), 259},
                    LengthCase{"StopsAtFirstNul", 10, std::wstring(L"ab\0cd", 5), 2}),
    [](const testing::TestParamInfo<LengthCase>& info) { return info.param.name; });

TEST(BoundedLength, NullTextIsEmpty) { EXPECT_EQ(BoundedLength(nullptr, 260), 0u); }

struct WriteCase {
    const char* name;
    bool append;  // false: BoundedCopy
    uint64_t capacity;
    std::wstring before;
    std::wstring source;
    bool expectedResult;
    std::wstring expectedText;
};

class BoundedWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(BoundedWriteTest, IsAllOrNothingAndKeepsTheLastUnit) {
    const WriteCase& c = GetParam();
    RawBuffer buffer(c.capacity, c.before);
    const bool result = c.append ? BoundedAppend(buffer.units.data(), c.capacity, c.source.c_str())
                                 : BoundedCopy(buffer.units.data(), c.capacity, c.source.c_str());
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(buffer.Text(), c.expectedText);
    EXPECT_EQ(buffer.units[c.capacity], L'\0') << "the permanent terminator was overwritten";
}

INSTANTIATE_TEST_SUITE_P(
    Copy, BoundedWriteTest,
    testing::Values(
        WriteCase{"Source259FitsPathBuffer", false, 260, L"old", Repeat(L'a', 259), true, Repeat(L'a', 259)},
        WriteCase{"Source260LeavesPathBufferEmpty", false, 260, L"old text", Repeat(L'a', 260), false, L""},
        WriteCase{"EmptySourceEmptiesCapacityOne", false, 1, L"", L"", true, L""},
        WriteCase{"EmptySourceEmptiesPathBuffer", false, 260, L"old", L"", true, L""},
        WriteCase{"TypeNameFitsTwoUnits", false, 3, L"", L"BL", true, L"BL"},
        WriteCase{"TypeNameRefusesThreeUnits", false, 3, L"B7", L"BLX", false, L""}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Append, BoundedWriteTest,
    testing::Values(
        WriteCase{"ThreeOnto256Gives259", true, 260, Repeat(L'a', 256), L"xyz", true, Repeat(L'a', 256) + L"xyz"},
        WriteCase{"ThreeOnto257KeepsTheOldText", true, 260, Repeat(L'a', 257), L"xyz", false, Repeat(L'a', 257)},
        WriteCase{"EmptySourceChangesNothing", true, 260, L"abc", L"", true, L"abc"},
        WriteCase{"CapacityOneAcceptsOnlyEmpty", true, 1, L"", L"", true, L""},
        WriteCase{"CapacityOneRefusesText", true, 1, L"", L"x", false, L""},
        // A buffer of capacity 1 has no room for text: whatever unit 0 held
        // is no text, and the destination ends empty either way.
        WriteCase{"CapacityOneDisregardsWhatWasThereForEmpty", true, 1, L"x", L"", true, L""},
        WriteCase{"CapacityOneDisregardsWhatWasThereForText", true, 1, L"x", L"y", false, L""},
        WriteCase{"ExactFitOfCommandBuffer", true, 1300, Repeat(L'a', 1000), Repeat(L'b', 299), true,
                  Repeat(L'a', 1000) + Repeat(L'b', 299)},
        WriteCase{"OneOverCommandBuffer", true, 1300, Repeat(L'a', 1000), Repeat(L'b', 300), false,
                  Repeat(L'a', 1000)}),
    [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

TEST(BoundedAppend, BufferWithoutNulIsTakenAsFull) {
    // Filled by something other than these operations: units 0..N-2 hold no
    // NUL. The text counts as N-1 units long; unit N-1 gets the NUL either way.
    constexpr uint64_t capacity = 8;
    for (const std::wstring& source : {std::wstring(), std::wstring(L"x")}) {
        RawBuffer buffer(capacity);
        std::fill(buffer.units.begin(), buffer.units.begin() + capacity, L'a');
        const bool result = BoundedAppend(buffer.units.data(), capacity, source.c_str());
        EXPECT_EQ(result, source.empty());
        EXPECT_EQ(buffer.units[capacity - 1], L'\0');
        EXPECT_EQ(buffer.Text(), Repeat(L'a', capacity - 1));
    }
}

TEST(BoundedWrites, NullDestinationOrCapacityZeroWriteNothing) {
    RawBuffer buffer(4, L"ab");
    EXPECT_FALSE(BoundedCopy(nullptr, 4, L"x"));
    EXPECT_FALSE(BoundedAppend(nullptr, 4, L"x"));
    EXPECT_FALSE(BoundedCopy(buffer.units.data(), 0, L"x"));
    EXPECT_FALSE(BoundedAppend(buffer.units.data(), 0, L"x"));
    EXPECT_EQ(buffer.Text(), L"ab");
}

TEST(BoundedWrites, NullSourceIsRefusedWithoutChange) {
    RawBuffer buffer(4, L"ab");
    EXPECT_FALSE(BoundedCopy(buffer.units.data(), 4, nullptr));
    EXPECT_FALSE(BoundedAppend(buffer.units.data(), 4, nullptr));
    EXPECT_EQ(buffer.Text(), L"ab");
}

TEST(BoundedText, NoOperationTouchesTheLastError) {
    // Callers read GetLastError() after a bounded operation ran, for the
    // reason of the system call before it.
    constexpr DWORD MARK = 0x0BADC0DE;
    RawBuffer small(4, L"ab");
    RawBuffer path(260, L"dir\\");
    const struct {
        const char* name;
        std::function<void()> run;
    } operations[] = {
        {"length", [&] { BoundedLength(path.units.data(), 260); }},
        {"length of nothing", [] { BoundedLength(nullptr, 260); }},
        {"copy that fits", [&] { BoundedCopy(path.units.data(), 260, L"C:\\x\\"); }},
        {"copy that does not fit", [&] { BoundedCopy(small.units.data(), 4, L"abcd"); }},
        {"copy to nothing", [] { BoundedCopy(nullptr, 4, L"a"); }},
        {"append that fits", [&] { BoundedAppend(path.units.data(), 260, L"setup.exe"); }},
        {"append that does not fit", [&] { BoundedAppend(small.units.data(), 4, L"xyz"); }},
        {"append to capacity 0", [&] { BoundedAppend(small.units.data(), 0, L"x"); }},
    };
    for (const auto& operation : operations) {
        SetLastError(MARK);
        operation.run();
        EXPECT_EQ(GetLastError(), MARK) << operation.name;
    }
}

TEST(TextBuffer, StartsEmptyWithItsPermanentTerminator) {
    PathBuffer path;
    CommandBuffer command;
    TypeNameBuffer type;
    SddlBuffer sddl;
    EXPECT_TRUE(path.IsEmpty() && command.IsEmpty() && type.IsEmpty() && sddl.IsEmpty());
    EXPECT_EQ(path.units[260], L'\0');
    EXPECT_EQ(command.units[1300], L'\0');
    EXPECT_EQ(type.units[3], L'\0');
    EXPECT_EQ(sddl.units[300], L'\0');
    static_assert(sizeof(path.units) == 261 * sizeof(wchar_t));
    static_assert(sizeof(command.units) == 1301 * sizeof(wchar_t));
}

TEST(TextBuffer, SequencesOfOperationsNeverTouchTheLastUnit) {
    PathBuffer path;
    for (int round = 0; round < 100; ++round) {
        path.Append(L"segment\\");
        if (round % 7 == 0) {
            path.Copy(std::wstring(255 + round % 10, L'c').c_str());
        }
        ASSERT_EQ(path.units[260], L'\0');
        ASSERT_LE(path.Length(), 259u);
    }
}

}  // namespace
