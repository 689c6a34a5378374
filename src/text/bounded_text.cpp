#include "text/bounded_text.h"

// None of these calls the system, so the thread's last-error value survives
// them; callers rely on that when they read GetLastError() after a bounded
// operation ran.

uint64_t BoundedLength(const wchar_t* text, uint64_t capacity) {
    if (text == nullptr || capacity < 2) {
        return 0;
    }
    for (uint64_t i = 0; i + 1 < capacity; ++i) {
        if (text[i] == 0) {
            return i;
        }
    }
    return capacity - 1;
}

bool BoundedCopy(wchar_t* destination, uint64_t capacity, const wchar_t* source) {
    if (destination == nullptr || capacity == 0 || source == nullptr) {
        return false;
    }
    for (uint64_t i = 0; i < capacity; ++i) {
        destination[i] = source[i];
        if (source[i] == 0) {
            return true;
        }
    }
    // The source did not fit: leave the empty text, never a truncated one.
    destination[0] = 0;
    return false;
}

bool BoundedAppend(wchar_t* destination, uint64_t capacity, const wchar_t* source) {
    const uint64_t length = BoundedLength(destination, capacity);
    if (destination == nullptr || length == capacity || source == nullptr) {
        return false;
    }
    for (uint64_t k = 0; length + k < capacity; ++k) {
        destination[length + k] = source[k];
        if (source[k] == 0) {
            return true;
        }
    }
    // No room for the whole source: cut back to the text as it was, so a
    // caller never sees a source partly appended.
    destination[length] = 0;
    return false;
}
