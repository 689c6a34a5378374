#include "acceptance/facts.h"

#include "common/tool_support.h"

namespace kit {

namespace {

constexpr DWORD FILE_LIMIT = 1 << 18;
char fileBytes[FILE_LIMIT];
wchar_t fileUnits[FILE_LIMIT];

}  // namespace

bool Equal(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) return a == b;
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    if (text == nullptr) return false;
    for (; *prefix != 0; ++prefix, ++text) {
        if (*text != *prefix) return false;
    }
    return true;
}

int Length(const wchar_t* text) {
    int count = 0;
    while (text != nullptr && text[count] != 0) ++count;
    return count;
}

bool ParseNumber(const wchar_t* text, uint32_t& value) {
    value = 0;
    return text != nullptr && tool::ParseNumber(text, value);
}

int Facts::Store(const wchar_t* first, const wchar_t* second, int secondCount) {
    const int firstCount = Length(first);
    if (used_ + firstCount + secondCount + 1 > POOL_UNITS) return -1;
    const int at = used_;
    for (int i = 0; i < firstCount; ++i) pool_[used_++] = first[i];
    for (int i = 0; i < secondCount; ++i) pool_[used_++] = second[i];
    pool_[used_++] = 0;
    return at;
}

void Facts::Set(const wchar_t* prefix, const wchar_t* key, const wchar_t* value) {
    if (count_ >= MAX_FACTS) return;
    const int keyAt = Store(prefix, key, Length(key));
    const int valueAt = keyAt < 0 ? -1 : Store(L"", value, Length(value));
    if (valueAt < 0) return;
    keys_[count_] = keyAt;
    values_[count_] = valueAt;
    ++count_;
}

void Facts::Set(const wchar_t* key, const wchar_t* value) { Set(L"", key, value); }

void Facts::SetNumber(const wchar_t* prefix, const wchar_t* key, uint32_t value) {
    Text<16> text;
    text.Clear();
    text.AddHex(value);
    Set(prefix, key, text.Get());
}

const wchar_t* Facts::Get(const wchar_t* prefix, const wchar_t* key) const {
    for (int i = count_ - 1; i >= 0; --i) {
        const wchar_t* stored = pool_ + keys_[i];
        if (StartsWith(stored, prefix) && Equal(stored + Length(prefix), key)) return pool_ + values_[i];
    }
    return nullptr;
}

const wchar_t* Facts::Get(const wchar_t* key) const { return Get(L"", key); }

bool Facts::GetNumber(const wchar_t* prefix, const wchar_t* key, uint32_t& value) const {
    return ParseNumber(Get(prefix, key), value);
}

bool Facts::Load(const wchar_t* path, const wchar_t* prefix) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD size = 0;
    const BOOL read = ReadFile(file, fileBytes, FILE_LIMIT - 1, &size, nullptr);
    CloseHandle(file);
    if (!read) return false;
    const int units = size == 0 ? 0
                                : MultiByteToWideChar(CP_UTF8, 0, fileBytes, static_cast<int>(size), fileUnits,
                                                      static_cast<int>(FILE_LIMIT - 1));
    int start = 0;
    for (int i = 0; i <= units; ++i) {
        if (i < units && fileUnits[i] != L'\n') continue;
        int end = i;
        if (end > start && fileUnits[end - 1] == L'\r') --end;
        int equals = start;
        while (equals < end && fileUnits[equals] != L'=') ++equals;
        if (equals < end && equals > start) {
            fileUnits[equals] = 0;
            fileUnits[end] = 0;
            Set(prefix, fileUnits + start, fileUnits + equals + 1);
        }
        start = i + 1;
    }
    return true;
}

bool Facts::Save(const wchar_t* path) const {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    for (int i = 0; i < count_; ++i) {
        WriteText(file, KeyAt(i));
        WriteText(file, L"=");
        WriteText(file, ValueAt(i));
        WriteText(file, L"\n");
    }
    return CloseHandle(file) != FALSE;
}

void WriteText(HANDLE out, const wchar_t* text) {
    const int units = Length(text);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, static_cast<DWORD>(units), &written, nullptr);
        return;
    }
    // In slices, so that a long text needs no long buffer.
    static char bytes[4096];
    for (int done = 0; done < units;) {
        int slice = units - done < 1000 ? units - done : 1000;
        // Never split a surrogate pair.
        if (slice == 1000 && text[done + slice - 1] >= 0xD800 && text[done + slice - 1] <= 0xDBFF) --slice;
        const int count = WideCharToMultiByte(CP_UTF8, 0, text + done, slice, bytes, sizeof(bytes), nullptr, nullptr);
        WriteFile(out, bytes, static_cast<DWORD>(count), &written, nullptr);
        done += slice;
    }
}

}  // namespace kit
