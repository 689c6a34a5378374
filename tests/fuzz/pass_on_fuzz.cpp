// AppendPassedOnArguments against a model of the pass-on rules, appending
// into a CommandBuffer that already holds a fixed part of any length.
//
// Input: fixed part length (u16, mod 1300), flags (u8: 1 null command line),
// then the command line as UTF-16LE units (it ends at the first NUL; the
// buffer holding it is allocated to the exact unit).

#include "fuzz_support.h"
#include "launch/setup_launch.h"

namespace {

constexpr uint64_t CAPACITY = CommandBuffer::capacity;  // 1300
constexpr uint64_t MOST_TEXT = CAPACITY - 1;           // units of text that fit with the terminator
constexpr wchar_t FILL = L'#';

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// Appends `tail` only when the whole of it fits.
bool AppendWhole(Units& text, const Units& tail) {
    if (text.size() + tail.size() > MOST_TEXT) {
        return false;
    }
    text.insert(text.end(), tail.begin(), tail.end());
    return true;
}

// The pass-on rules: find the end P of the program name (a quoted one runs
// to the next quote, and an unclosed quote passes nothing on); nothing after
// it passes nothing; a blank at P passes the text from P as it is; anything
// else gets a blank of its own first, and the text only if the blank fit.
// `fits` says whether everything there was to pass on went in.
Units ModelPassOn(const Units& fixed, const Units& line, bool& fits) {
    Units text = fixed;
    fits = true;
    size_t p = 0;
    if (!line.empty() && line[0] == L'"') {
        p = 1;
        while (p < line.size() && line[p] != L'"') {
            ++p;
        }
        if (p == line.size()) {
            return text;
        }
        ++p;
    } else {
        while (p < line.size() && !IsBlank(line[p])) {
            ++p;
        }
    }
    if (p == line.size()) {
        return text;
    }
    const Units rest(line.begin() + p, line.end());
    fits = (IsBlank(rest[0]) || AppendWhole(text, Units{L' '})) && AppendWhole(text, rest);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    const uint64_t fixedLength = input.Word() % CAPACITY;
    const bool nullLine = input.Byte() & 1;
    const Units units = input.RemainingUnits();
    const Units line = TextOf(units.data(), units.size());

    // The fixed part stands for the setup program's own switches; its units
    // mean nothing to the pass-on. Past its terminator the buffer holds FILL.
    Units fixed;
    for (uint64_t i = 0; i < fixedLength; ++i) {
        fixed.push_back(static_cast<wchar_t>(L'a' + i % 26));
    }
    // On the heap, so AddressSanitizer sees the end of the buffer's units.
    CommandBuffer* command = new CommandBuffer;
    for (uint64_t i = 0; i < CAPACITY; ++i) {
        command->units[i] = i < fixedLength ? fixed[i] : (i == fixedLength ? 0 : FILL);
    }

    ExactUnits text(Terminated(units));
    const bool passed = AppendPassedOnArguments(*command, nullLine ? nullptr : text.Data());

    bool fits = true;
    const Units expected = nullLine ? fixed : ModelPassOn(fixed, line, fits);
    const Units actual = TextOf(command->units, CAPACITY + 1);
    if (actual != expected || command->units[CAPACITY] != 0 || passed != fits) {
        fprintf(stderr, "fixed part of %llu units, null command line %d\n",
                static_cast<unsigned long long>(fixedLength), nullLine);
        PrintUnits("command line", line);
        PrintUnits("buffer text", actual);
        PrintUnits("expected", expected);
        Finding(command->units[CAPACITY] != 0 ? "the buffer's last unit was written"
                : passed != fits              ? "the pass-on reported the wrong fit"
                                              : "the buffer does not hold what the pass-on rules give");
    }
    delete command;
    return 0;
}
