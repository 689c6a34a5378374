#pragma once

// Small helpers shared by the freestanding tools (no C run-time here either).
#include <windows.h>
#include <stdint.h>

namespace tool {

// The text after the program name of a command line, blanks skipped.
inline const wchar_t* SkipProgramName(const wchar_t* text) {
    if (*text == L'"') {
        ++text;
        while (*text != 0 && *text != L'"') {
            ++text;
        }
        if (*text == L'"') {
            ++text;
        }
    } else {
        while (*text != 0 && *text != L' ' && *text != L'\t') {
            ++text;
        }
    }
    while (*text == L' ' || *text == L'\t') {
        ++text;
    }
    return text;
}

inline int HexDigit(wchar_t unit) {
    if (unit >= L'0' && unit <= L'9') return unit - L'0';
    if (unit >= L'A' && unit <= L'F') return unit - L'A' + 10;
    if (unit >= L'a' && unit <= L'f') return unit - L'a' + 10;
    return -1;
}

// "0x..." as hexadecimal, anything else as decimal; false on a stray unit.
inline bool ParseNumber(const wchar_t* text, uint32_t& value) {
    value = 0;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        text += 2;
        if (*text == 0) return false;
        for (; *text != 0; ++text) {
            const int digit = HexDigit(*text);
            if (digit < 0) return false;
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }
    if (*text == 0) return false;
    for (; *text != 0; ++text) {
        if (*text < L'0' || *text > L'9') return false;
        value = value * 10 + static_cast<uint32_t>(*text - L'0');
    }
    return true;
}

inline void WriteAscii(HANDLE out, const char* text) {
    DWORD length = 0;
    while (text[length] != 0) ++length;
    DWORD written = 0;
    WriteFile(out, text, length, &written, nullptr);
}

// "0x" and eight uppercase digits, NUL-terminated, into `out` (11 bytes).
inline void FormatHex32(uint32_t value, char* out) {
    static const char DIGITS[] = "0123456789ABCDEF";
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < 8; ++i) {
        out[2 + i] = DIGITS[(value >> (28 - 4 * i)) & 0xF];
    }
    out[10] = 0;
}

// Decimal digits of a 64-bit value into `out` (21 bytes).
inline void FormatDecimal64(uint64_t value, char* out) {
    char reversed[21];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
    out[count] = 0;
}

// 0 when the first two bytes of the file at `path` are a program's "MZ", read
// through an open that shares reading only, as a careful reader of a program
// opens it; else the error (ERROR_BAD_FORMAT for other bytes).
inline DWORD ReadProgramStartError(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    char bytes[2] = {0, 0};
    DWORD read = 0;
    DWORD error = 0;
    if (!ReadFile(file, bytes, 2, &read, nullptr)) {
        error = GetLastError();
    } else if (read != 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        error = ERROR_BAD_FORMAT;
    }
    CloseHandle(file);
    return error;
}

}  // namespace tool
