#pragma once

// What the acceptance kit observes is kept as facts: "key=value" lines of
// UTF-16 text. The probe inside the installer writes its facts to a file, the
// kit adds its own, and the judging reads nothing else, so that the judging
// can also be fed a file of what another machine reported.
#include <windows.h>
#include <stdint.h>

namespace kit {

// A bounded UTF-16 text; all appends cut at the capacity and say so.
template <int CAPACITY>
struct Text {
    wchar_t units[CAPACITY + 1];
    int length;

    void Clear() {
        length = 0;
        units[0] = 0;
    }
    bool AddUnits(const wchar_t* text, int count) {
        bool whole = true;
        for (int i = 0; i < count; ++i) {
            if (length >= CAPACITY) {
                whole = false;
                break;
            }
            units[length++] = text[i];
        }
        units[length] = 0;
        return whole;
    }
    bool Add(const wchar_t* text) {
        int count = 0;
        while (text != nullptr && text[count] != 0) ++count;
        return AddUnits(text, count);
    }
    bool AddAscii(const char* text) {
        bool whole = true;
        for (; *text != 0; ++text) {
            const wchar_t unit = static_cast<wchar_t>(static_cast<unsigned char>(*text));
            whole = AddUnits(&unit, 1) && whole;
        }
        return whole;
    }
    bool AddDecimal(uint64_t value) {
        wchar_t reversed[21];
        int count = 0;
        do {
            reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        bool whole = true;
        while (count > 0) whole = AddUnits(&reversed[--count], 1) && whole;
        return whole;
    }
    bool AddHex(uint32_t value) {
        static const wchar_t DIGITS[] = L"0123456789ABCDEF";
        wchar_t digits[10] = {L'0', L'x'};
        for (int i = 0; i < 8; ++i) digits[2 + i] = DIGITS[(value >> (28 - 4 * i)) & 0xF];
        return AddUnits(digits, 10);
    }
    const wchar_t* Get() const { return units; }
};

// `out` made anew as `before`, the number, `after`: the numbered keys and
// names of the kit's cases ("e.2.", "k.3.exit", "crowd-3.facts").
template <int N>
const wchar_t* Numbered(Text<N>& out, const wchar_t* before, uint64_t number, const wchar_t* after = L"") {
    out.Clear();
    out.Add(before);
    out.AddDecimal(number);
    out.Add(after);
    return out.Get();
}

bool Equal(const wchar_t* a, const wchar_t* b);
bool StartsWith(const wchar_t* text, const wchar_t* prefix);
int Length(const wchar_t* text);
// "0x..." hexadecimal or decimal, the whole text; false otherwise.
bool ParseNumber(const wchar_t* text, uint32_t& value);

class Facts {
public:
    static constexpr int MAX_FACTS = 1024;
    static constexpr int POOL_UNITS = 1 << 17;

    void Clear() { count_ = used_ = 0; }
    // Later facts of the same key win.
    void Set(const wchar_t* key, const wchar_t* value);
    void Set(const wchar_t* prefix, const wchar_t* key, const wchar_t* value);
    void SetNumber(const wchar_t* prefix, const wchar_t* key, uint32_t value);
    // The value, or null when the key was never set.
    const wchar_t* Get(const wchar_t* key) const;
    const wchar_t* Get(const wchar_t* prefix, const wchar_t* key) const;
    // True with the number when the key holds one.
    bool GetNumber(const wchar_t* prefix, const wchar_t* key, uint32_t& value) const;

    // Parses "key=value" lines (UTF-8, CR LF or LF); each key gets `prefix`
    // in front. False when the file cannot be read.
    bool Load(const wchar_t* path, const wchar_t* prefix);
    // Writes every fact as a "key=value" line, UTF-8.
    bool Save(const wchar_t* path) const;

    int Count() const { return count_; }
    const wchar_t* KeyAt(int index) const { return pool_ + keys_[index]; }
    const wchar_t* ValueAt(int index) const { return pool_ + values_[index]; }

private:
    int Store(const wchar_t* first, const wchar_t* second, int secondCount);

    wchar_t pool_[POOL_UNITS];
    int used_;
    int keys_[MAX_FACTS];
    int values_[MAX_FACTS];
    int count_;
};

// UTF-8 of a UTF-16 text to a handle (a file, a pipe); to a console as
// UTF-16, so that the table shows its letters in any code page.
void WriteText(HANDLE out, const wchar_t* text);

}  // namespace kit
