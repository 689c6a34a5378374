#include "settings/argument_split.h"

const wchar_t* SkipProgramName(const wchar_t* text) {
    if (*text == L'"') {
        // No escapes inside a quoted program name: it runs to the next quote.
        const wchar_t* cursor = text + 1;
        while (*cursor != 0 && *cursor != L'"') {
            ++cursor;
        }
        return *cursor == L'"' ? cursor + 1 : nullptr;
    }
    const wchar_t* cursor = text;
    while (*cursor != 0 && !IsBlank(*cursor)) {
        ++cursor;
    }
    return cursor;
}

bool NextRuntimeArgument(const wchar_t*& cursor, wchar_t (&head)[ARGUMENT_HEAD_UNITS + 1]) {
    const wchar_t* unit = cursor;
    while (IsBlank(*unit)) {
        ++unit;
    }
    cursor = unit;
    if (*unit == 0) {
        return false;
    }
    // Every unit is counted in `length`, but only the head is stored; the
    // stored units stay those of the argument, as it only ever grows at its
    // end or shrinks back.
    uint64_t length = 0;
    uint64_t backslashes = 0;  // the run just before `unit`, all counted
    bool quoted = false;
    while (*unit != 0 && (quoted || !IsBlank(*unit))) {
        wchar_t put = *unit++;
        if (put == L'"') {
            // 2n backslashes before a quote give n and the quote acts, 2n + 1
            // give n and a literal quote; elsewhere they are all literal.
            length -= (backslashes + 1) / 2;
            if (backslashes % 2 == 0) {
                // Inside a span, a quote followed by another gives a literal
                // quote and the span stays open: here the run-times part.
                if (quoted && *unit == L'"') {
                    ++unit;
                } else {
                    quoted = !quoted;
                    put = 0;
                }
            }
        }
        backslashes = put == L'\\' ? backslashes + 1 : 0;
        if (put != 0) {
            if (length < ARGUMENT_HEAD_UNITS) {
                head[length] = put;
            }
            ++length;
        }
    }
    head[length < ARGUMENT_HEAD_UNITS ? length : ARGUMENT_HEAD_UNITS] = 0;
    cursor = unit;
    return true;
}
