#pragma once

// Shared by the fuzz targets: reading a structured case out of libFuzzer's
// bytes, buffers allocated to the exact unit so that AddressSanitizer flags
// the first unit read or written past them, and reporting a finding.

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

using Units = std::vector<wchar_t>;

// Reads little-endian fields off the front; past the end every field is 0,
// so any byte string is a valid case.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    uint16_t Word() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    // The rest as UTF-16LE units; an odd last byte is dropped.
    Units RemainingUnits() {
        Units units;
        units.reserve(size_ / 2);
        while (size_ >= 2) {
            units.push_back(static_cast<wchar_t>(Word()));
        }
        size_ = 0;
        return units;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

// `count` units on the heap and not one more (count may be 0: then any
// access at all is out of bounds).
class ExactUnits {
public:
    explicit ExactUnits(size_t count)
        : count_(count), units_(static_cast<wchar_t*>(malloc(count * sizeof(wchar_t)))) {
        // Under AddressSanitizer malloc(0) is a real, empty block.
        if (units_ == nullptr) {
            abort();
        }
    }
    ExactUnits(const Units& contents) : ExactUnits(contents.size()) {
        if (count_ != 0) {
            memcpy(units_, contents.data(), count_ * sizeof(wchar_t));
        }
    }
    ~ExactUnits() { free(units_); }
    ExactUnits(const ExactUnits&) = delete;
    ExactUnits& operator=(const ExactUnits&) = delete;

    wchar_t* Data() { return units_; }
    Units Contents() const { return Units(units_, units_ + count_); }

private:
    size_t count_;
    wchar_t* units_;
};

// Text as it is written to a terminated buffer: the units, then the NUL.
inline Units Terminated(Units text) {
    text.push_back(0);
    return text;
}

// The units before the first NUL (or all of them).
inline Units TextOf(const wchar_t* units, size_t limit) {
    Units text;
    for (size_t i = 0; i < limit && units[i] != 0; ++i) {
        text.push_back(units[i]);
    }
    return text;
}

inline void PrintUnits(const char* label, const Units& units) {
    fprintf(stderr, "  %s (%zu units): ", label, units.size());
    for (wchar_t unit : units) {
        const unsigned value = static_cast<uint16_t>(unit);
        if (value >= 0x20 && value < 0x7F && value != '\\') {
            fputc(static_cast<int>(value), stderr);
        } else {
            fprintf(stderr, "\\u%04X", value);
        }
    }
    fputc('\n', stderr);
}

// Reports what the contract was broken by and stops; libFuzzer then saves the
// input as a crash file.
[[noreturn]] inline void Finding(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fputs("FINDING: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    abort();
}
