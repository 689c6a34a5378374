// BoundedLength, BoundedCopy and BoundedAppend against a model written from
// their contracts, on buffers allocated to the exact unit.
//
// Input: capacity (u16, mod 1301), destination text length (u16; at or past
// the capacity there is no terminator in units 0..capacity-1), flags (u8:
// 1 null destination, 2 null source, 4 source without a terminator), then
// UTF-16LE units: the destination text first, the source after it.

#include "fuzz_support.h"
#include "text/bounded_text.h"

namespace {

constexpr uint64_t LARGEST_CAPACITY = 1300;  // CommandBuffer, the largest kind the stub uses
constexpr wchar_t FILL = L'#';               // unit never written by the case, so a stray write shows
constexpr wchar_t SOURCE_FILL = L's';

struct Case {
    uint64_t capacity;
    Units destination;  // capacity + 1 units; unit `capacity` is NUL, as in every TextBuffer
    bool nullDestination;
    bool nullSource;
    bool unterminatedSource;
    Units sourceText;
};

Case Decode(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    Case c;
    c.capacity = input.Word() % (LARGEST_CAPACITY + 1);
    const uint64_t textLength = input.Word();
    const uint8_t flags = input.Byte();
    c.nullDestination = flags & 1;
    c.nullSource = flags & 2;
    c.unterminatedSource = flags & 4;
    const Units units = input.RemainingUnits();

    c.destination.assign(c.capacity + 1, FILL);
    size_t used = 0;
    for (uint64_t i = 0; i < textLength && i < c.capacity; ++i) {
        c.destination[i] = used < units.size() ? units[used++] : L'd';
    }
    if (textLength < c.capacity) {
        c.destination[textLength] = 0;
    }
    c.destination[c.capacity] = 0;
    c.sourceText.assign(units.begin() + used, units.end());
    return c;
}

// ---- The model, from the contracts alone ---------------------------------

uint64_t ModelLength(const Units& text, uint64_t capacity) {
    if (capacity < 2) {
        return 0;
    }
    for (uint64_t i = 0; i + 1 < capacity; ++i) {
        if (text[i] == 0) {
            return i;
        }
    }
    return capacity - 1;
}

// What the destination must look like afterwards: units in [freeBegin,
// freeEnd) may hold anything (a failed call may have scribbled there before
// it cut the text back); every other unit must equal `units`.
struct Expected {
    bool result = false;
    Units units;
    uint64_t freeBegin = 0;
    uint64_t freeEnd = 0;
};

Expected Unchanged(const Units& destination) { return {false, destination, 0, 0}; }

Expected ModelCopy(const Units& destination, bool nullDestination, uint64_t capacity, const Units* source) {
    Expected e = Unchanged(destination);
    if (nullDestination || capacity == 0 || source == nullptr) {
        return e;
    }
    for (uint64_t i = 0; i < capacity; ++i) {
        e.units[i] = (*source)[i];
        if ((*source)[i] == 0) {
            e.result = true;
            return e;
        }
    }
    e = Unchanged(destination);
    e.units[0] = 0;
    e.freeBegin = 1;
    e.freeEnd = capacity;
    return e;
}

Expected ModelAppend(const Units& destination, bool nullDestination, uint64_t capacity, const Units* source) {
    Expected e = Unchanged(destination);
    if (nullDestination) {
        return e;
    }
    const uint64_t length = ModelLength(destination, capacity);
    if (length == capacity || source == nullptr) {
        return e;
    }
    for (uint64_t k = 0; length + k < capacity; ++k) {
        e.units[length + k] = (*source)[k];
        if ((*source)[k] == 0) {
            e.result = true;
            return e;
        }
    }
    e = Unchanged(destination);
    e.units[length] = 0;
    e.freeBegin = length + 1;
    e.freeEnd = capacity;
    return e;
}

// ---- Running one operation -----------------------------------------------

// The source as the case wants it: the text with its terminator, or `bound`
// units without any NUL (the most the operation may read), each allocated to
// the exact unit.
Units SourceUnits(const Case& c, uint64_t bound) {
    if (!c.unterminatedSource) {
        return Terminated(c.sourceText);
    }
    Units units(bound, SOURCE_FILL);
    for (uint64_t i = 0; i < bound && i < c.sourceText.size(); ++i) {
        units[i] = c.sourceText[i] != 0 ? c.sourceText[i] : SOURCE_FILL;
    }
    return units;
}

void Check(const char* operation, const Case& c, const Units& source, bool result, const Units& after,
           const Expected& e) {
    bool same = result == e.result;
    uint64_t firstDifference = after.size();
    for (uint64_t i = 0; i < after.size(); ++i) {
        const bool free = i >= e.freeBegin && i < e.freeEnd;
        if (!free && after[i] != e.units[i]) {
            same = false;
            firstDifference = i;
            break;
        }
    }
    if (same) {
        return;
    }
    fprintf(stderr, "%s: capacity %llu, null destination %d, null source %d, unterminated source %d\n", operation,
            static_cast<unsigned long long>(c.capacity), c.nullDestination, c.nullSource, c.unterminatedSource);
    PrintUnits("destination before", c.destination);
    PrintUnits("source", source);
    PrintUnits("destination after", after);
    PrintUnits("expected", e.units);
    Finding("%s returned %d (expected %d); first unit that differs: %llu", operation, result, e.result,
            static_cast<unsigned long long>(firstDifference));
}

void CheckLength(const Case& c) {
    // Only units 0..capacity-2 are copied, so reading unit capacity-1 (or
    // any unit at all when the capacity is below 2) is an overflow.
    const uint64_t readable = c.capacity >= 2 ? c.capacity - 1 : 0;
    ExactUnits text(Units(c.destination.begin(), c.destination.begin() + readable));
    const uint64_t length = BoundedLength(text.Data(), c.capacity);
    const uint64_t expected = ModelLength(c.destination, c.capacity);
    if (length != expected) {
        PrintUnits("text", c.destination);
        Finding("BoundedLength(capacity %llu) = %llu, expected %llu", static_cast<unsigned long long>(c.capacity),
                static_cast<unsigned long long>(length), static_cast<unsigned long long>(expected));
    }
    if (BoundedLength(nullptr, c.capacity) != 0) {
        Finding("BoundedLength(null, %llu) is not 0", static_cast<unsigned long long>(c.capacity));
    }
}

void CheckCopy(const Case& c) {
    const Units source = SourceUnits(c, c.capacity);
    ExactUnits sourceBuffer(source);
    ExactUnits destination(c.destination);
    const bool result = BoundedCopy(c.nullDestination ? nullptr : destination.Data(), c.capacity,
                                    c.nullSource ? nullptr : sourceBuffer.Data());
    Check("BoundedCopy", c, source, result, destination.Contents(),
          ModelCopy(c.destination, c.nullDestination, c.capacity, c.nullSource ? nullptr : &source));
}

void CheckAppend(const Case& c) {
    // The room after the destination's text is all the append may read of an
    // unterminated source.
    const uint64_t length = c.nullDestination ? 0 : ModelLength(c.destination, c.capacity);
    const Units source = SourceUnits(c, c.capacity - length);
    ExactUnits sourceBuffer(source);
    ExactUnits destination(c.destination);
    const bool result = BoundedAppend(c.nullDestination ? nullptr : destination.Data(), c.capacity,
                                      c.nullSource ? nullptr : sourceBuffer.Data());
    Check("BoundedAppend", c, source, result, destination.Contents(),
          ModelAppend(c.destination, c.nullDestination, c.capacity, c.nullSource ? nullptr : &source));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Case c = Decode(data, size);
    CheckLength(c);
    CheckCopy(c);
    CheckAppend(c);
    return 0;
}
