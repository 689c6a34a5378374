#pragma once

#include <stdint.h>

// Every string the stub builds lives in a fixed-capacity UTF-16 buffer on the
// stack. A buffer of capacity N has N + 1 units: the text and its terminator
// fit in units 0..N-1, and unit N is a terminator that is never written again,
// because every writer (these operations and every Windows call that fills a
// buffer) is handed N. So the array always holds a NUL, even after a Windows
// call filled all N units without one.

// The length of the text, at most capacity - 1; units from capacity - 1 on are
// never read.
uint64_t BoundedLength(const wchar_t* text, uint64_t capacity);

// Replaces the destination's text with the source. All or nothing: false
// (source too long) leaves the destination empty.
bool BoundedCopy(wchar_t* destination, uint64_t capacity, const wchar_t* source);

// Adds the source to the end of the destination's text. All or nothing: false
// (no room) leaves the destination's text exactly as it was.
bool BoundedAppend(wchar_t* destination, uint64_t capacity, const wchar_t* source);

template <uint64_t Capacity>
struct TextBuffer {
    static constexpr uint64_t capacity = Capacity;

    TextBuffer() {
        units[0] = 0;
        units[Capacity] = 0;
    }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    wchar_t* Text() { return units; }
    const wchar_t* Text() const { return units; }
    uint64_t Length() const { return BoundedLength(units, Capacity); }
    bool IsEmpty() const { return units[0] == 0; }
    void Clear() { units[0] = 0; }
    bool Copy(const wchar_t* source) { return BoundedCopy(units, Capacity, source); }
    bool Append(const wchar_t* source) { return BoundedAppend(units, Capacity, source); }

    wchar_t units[Capacity + 1];
};

constexpr uint64_t MAX_PATH_UNITS = 260;

using PathBuffer = TextBuffer<MAX_PATH_UNITS>;
using CommandBuffer = TextBuffer<1300>;
using TypeNameBuffer = TextBuffer<3>;
using SddlBuffer = TextBuffer<300>;
