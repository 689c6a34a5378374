#include "acceptance/verdict_table.h"

#include "acceptance/judging.h"

namespace kit {

namespace {

constexpr int NAME_COLUMN = 34;
constexpr int WORD_COLUMN = 11;

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// The next name of a comma-separated list from `at`, blanks trimmed, into
// `name` (cut at its capacity); `at` moves past the comma. False at the end.
bool NextName(const wchar_t*& at, Text<100>& name) {
    if (at == nullptr || *at == 0) return false;
    const wchar_t* end = at;
    while (*end != 0 && *end != L',') ++end;
    const wchar_t* first = at;
    const wchar_t* last = end;
    while (first < last && IsBlank(*first)) ++first;
    while (last > first && IsBlank(last[-1])) --last;
    name.Clear();
    name.AddUnits(first, static_cast<int>(last - first));
    at = *end == L',' ? end + 1 : end;
    return true;
}

bool Listed(const wchar_t* list, const wchar_t* check) {
    Text<100> name;
    for (const wchar_t* at = list; NextName(at, name);) {
        if (Equal(name.Get(), check)) return true;
    }
    return false;
}

bool IsCheck(const wchar_t* name) {
    for (int i = 0; i < CHECK_COUNT; ++i) {
        if (Equal(CHECKS[i].name, name)) return true;
    }
    return false;
}

void Pad(Text<1000>& line, int column) {
    while (line.length < column) line.Add(L" ");
}

}  // namespace

bool NamesOnlyChecks(const wchar_t* list, Text<100>& unknown) {
    Text<100> name;
    for (const wchar_t* at = list; NextName(at, name);) {
        // An empty item ("a,,b", or an empty list) names nothing.
        if (name.length > 0 && !IsCheck(name.Get())) {
            unknown.Clear();
            unknown.Add(name.Get());
            return false;
        }
    }
    return true;
}

bool PrintVerdicts(const Facts& facts, const wchar_t* allowedNotShown, HANDLE out) {
    int passed = 0;
    int failed = 0;
    int notShown = 0;
    int notAllowed = 0;
    for (int i = 0; i < CHECK_COUNT; ++i) {
        static Verdict verdict;
        verdict.status = Status::Fail;
        verdict.detail.Clear();
        CHECKS[i].judge(facts, verdict);
        const bool allowed = verdict.status == Status::NotShown && Listed(allowedNotShown, CHECKS[i].name);
        static Text<1000> line;
        line.Clear();
        line.Add(CHECKS[i].name);
        Pad(line, NAME_COLUMN);
        line.Add(verdict.status == Status::Pass ? L"PASS" : verdict.status == Status::Fail ? L"FAIL" : L"NOT-SHOWN");
        Pad(line, NAME_COLUMN + WORD_COLUMN);
        if (verdict.status == Status::NotShown && !allowed) line.Add(L"(not allowed) ");
        line.Add(verdict.detail.Get());
        line.Add(L"\r\n");
        WriteText(out, line.Get());
        passed += verdict.status == Status::Pass;
        failed += verdict.status == Status::Fail;
        notShown += verdict.status == Status::NotShown;
        notAllowed += verdict.status == Status::NotShown && !allowed;
    }
    Text<120> count;
    count.Clear();
    count.AddDecimal(static_cast<uint64_t>(passed));
    count.Add(L" passed, ");
    count.AddDecimal(static_cast<uint64_t>(failed));
    count.Add(L" failed, ");
    count.AddDecimal(static_cast<uint64_t>(notShown));
    count.Add(L" not shown");
    if (notAllowed > 0) {
        count.Add(L" (");
        count.AddDecimal(static_cast<uint64_t>(notAllowed));
        count.Add(L" of them not allowed, so the run fails)");
    }
    count.Add(L"\r\n");
    WriteText(out, count.Get());
    return failed == 0 && notAllowed == 0;
}

}  // namespace kit
