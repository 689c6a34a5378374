// LaunchSettings::ParseCommandLine: the refused switches and the protocol
// switches are found in any argument after the program name, in any letter
// case, by either of the two splits a setup program may make of the text
// passed on to it, and never in the program name; the argument vector is
// released by the destructor (LeakSanitizer reports it otherwise).
//
// Input: a mode byte, then UTF-16LE units.
//   even mode: the units are the command line itself (it ends at the first
//     NUL). The expectation comes from splitting it with the
//     CommandLineToArgvW stand-in and with the target's own model of the C
//     run-time's split since 2008, and comparing each argument of either.
//   odd mode: the units are a list of arguments separated by NUL units (the
//     first is the program name). They are quoted into a command line, which
//     the run-time model must split back into the list, and so must the
//     stand-in when quotes are written as \" (it takes "" inside quotes
//     differently). This also checks the two splits against the rules. The
//     mode's other bits choose blanks and quoting styles.

#include <shellapi.h>

#include <algorithm>

#include "fuzz_support.h"
#include "settings/launch_settings.h"

namespace {

const char* const SWITCHES[] = {"--cleanup", "--brisel-frame"};
const char* const PROTOCOL_SWITCHES[] = {"--ferrolt-path", "--archive-resource-name", "--archive-resource-type"};

// The `length` units of `argument` are `name`: case-insensitive for its ASCII
// letters, exact for everything else.
bool IsName(const wchar_t* argument, size_t length, const char* name) {
    size_t i = 0;
    for (; name[i] != 0 && i < length; ++i) {
        const wchar_t expected = static_cast<wchar_t>(name[i]);
        const bool letter = expected >= L'a' && expected <= L'z';
        if (argument[i] != expected && !(letter && argument[i] == expected - 32)) {
            return false;
        }
    }
    return name[i] == 0 && i == length;
}

// A refused switch whole, or a protocol switch up to the first "=".
bool IsSwitch(const wchar_t* argument, size_t length) {
    size_t name = 0;
    while (name < length && argument[name] != L'=') {
        ++name;
    }
    bool found = false;
    for (const char* refused : SWITCHES) {
        found = found || IsName(argument, length, refused);
    }
    for (const char* protocol : PROTOCOL_SWITCHES) {
        found = found || IsName(argument, name, protocol);
    }
    return found;
}

size_t LengthOf(const wchar_t* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

bool SameText(const wchar_t* text, const Units& units) {
    return LengthOf(text) == units.size() &&
           (units.empty() || memcmp(text, units.data(), units.size() * sizeof(wchar_t)) == 0);
}

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

// The arguments after the program name (quoted: to the next quote, and an
// unclosed one leaves nothing; unquoted: to the first blank) as the C
// run-time since 2008 splits them, written from its rules: 2n backslashes
// before a quote give n and the quote acts, 2n+1 give n and a literal quote,
// other backslashes are literal; a quote outside quotes opens them; inside,
// "" gives a literal quote and quoting goes on, and any other quote ends it.
// The line ends at its first NUL.
std::vector<Units> RuntimeSplit(const Units& line) {
    const size_t end = std::find(line.begin(), line.end(), L'\0') - line.begin();
    size_t at = 0;
    if (end > 0 && line[0] == L'"') {
        at = std::find(line.begin() + 1, line.begin() + end, L'"') - line.begin();
        if (at == end) {
            return {};
        }
        ++at;
    } else {
        while (at < end && !IsBlank(line[at])) {
            ++at;
        }
    }
    std::vector<Units> arguments;
    for (;;) {
        while (at < end && IsBlank(line[at])) {
            ++at;
        }
        if (at == end) {
            return arguments;
        }
        Units argument;
        bool quoted = false;
        while (at < end && (quoted || !IsBlank(line[at]))) {
            size_t backslashes = 0;
            while (at < end && line[at] == L'\\') {
                ++backslashes;
                ++at;
            }
            if (at < end && line[at] == L'"') {
                argument.insert(argument.end(), backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument.push_back(L'"');
                } else if (quoted && at + 1 < end && line[at + 1] == L'"') {
                    argument.push_back(L'"');
                    ++at;
                } else {
                    quoted = !quoted;
                }
                ++at;
            } else {
                argument.insert(argument.end(), backslashes, L'\\');
                if (backslashes == 0) {
                    argument.push_back(line[at]);
                    ++at;
                }
            }
        }
        arguments.push_back(argument);
    }
}

// Program name (without quotes): bare when it has no blank, else in quotes;
// `forceQuotes` quotes a bare one too.
void QuoteProgramName(const Units& name, bool forceQuotes, Units& line) {
    bool needsQuotes = forceQuotes || name.empty();
    for (wchar_t unit : name) {
        needsQuotes = needsQuotes || IsBlank(unit);
    }
    if (needsQuotes) {
        line.push_back(L'"');
    }
    line.insert(line.end(), name.begin(), name.end());
    if (needsQuotes) {
        line.push_back(L'"');
    }
}

// A later argument: bare when it can be, else quoted with backslashes
// doubled before a quote and at the end; a quote inside is written as \" or,
// when `doubleQuotes`, as "".
void QuoteArgument(const Units& argument, bool forceQuotes, bool doubleQuotes, Units& line) {
    bool needsQuotes = forceQuotes || argument.empty();
    for (wchar_t unit : argument) {
        needsQuotes = needsQuotes || IsBlank(unit) || unit == L'"';
    }
    if (!needsQuotes) {
        line.insert(line.end(), argument.begin(), argument.end());
        return;
    }
    line.push_back(L'"');
    size_t backslashes = 0;
    for (wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        if (unit == L'"') {
            if (doubleQuotes) {
                line.insert(line.end(), 2 * backslashes, L'\\');
                line.push_back(L'"');
            } else {
                line.insert(line.end(), 2 * backslashes + 1, L'\\');
            }
        } else {
            line.insert(line.end(), backslashes, L'\\');
        }
        line.push_back(unit);
        backslashes = 0;
    }
    line.insert(line.end(), 2 * backslashes, L'\\');
    line.push_back(L'"');
}

// A program name cannot hold a quote (nothing escapes one there), so the
// list drops any from it.
std::vector<Units> SplitList(const Units& units) {
    std::vector<Units> arguments(1);
    for (wchar_t unit : units) {
        if (unit == 0) {
            arguments.emplace_back();
        } else if (arguments.size() > 1 || unit != L'"') {
            arguments.back().push_back(unit);
        }
    }
    return arguments;
}

Units QuoteList(const std::vector<Units>& arguments, uint8_t style) {
    Units line;
    size_t most = 0;  // every unit quoted at most doubles; blanks and quotes besides
    for (const Units& argument : arguments) {
        most += 2 * argument.size() + 5;
    }
    line.reserve(most);
    QuoteProgramName(arguments[0], style & 2, line);
    for (size_t i = 1; i < arguments.size(); ++i) {
        const unsigned bits = (style >> (i % 5)) & 7;  // a different mix per argument
        line.push_back(bits & 1 ? L'\t' : L' ');
        if (bits & 2) {
            line.push_back(L' ');
        }
        QuoteArgument(arguments[i], bits & 4, style & 1, line);
    }
    return line;
}

void Report(const Units& line, const LaunchSettings& settings, bool expected, const char* why) {
    PrintUnits("command line", line);
    fprintf(stderr, "  arguments split: %d\n", settings.argumentCount);
    for (int32_t i = 0; i < settings.argumentCount && settings.argumentVector != nullptr; ++i) {
        PrintUnits("argument", TextOf(settings.argumentVector[i], SIZE_MAX));
    }
    Finding("%s (rejectedSwitchSeen %d, expected %d)", why, settings.rejectedSwitchSeen, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    const uint8_t mode = input.Byte();
    const Units units = input.RemainingUnits();

    std::vector<Units> list;
    Units line;
    if (mode & 1) {
        list = SplitList(units);
        line = QuoteList(list, mode >> 1);
    } else {
        line = units;
    }
    ExactUnits text(Terminated(line));

    LaunchSettings settings;
    if (!settings.ParseCommandLine(text.Data(), InstallerNames())) {
        Report(line, settings, false, "ParseCommandLine failed");
    }
    if (settings.commandLine != text.Data()) {
        Report(line, settings, false, "commandLine is not the text that was parsed");
    }

    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(text.Data(), &count);
    if (arguments == nullptr || count != settings.argumentCount) {
        Report(line, settings, false, "argument count differs from a second split");
    }
    bool expected = false;
    for (int i = 1; i < count; ++i) {
        expected = expected || IsSwitch(arguments[i], LengthOf(arguments[i]));
    }
    const std::vector<Units> runtime = RuntimeSplit(line);
    for (const Units& argument : runtime) {
        expected = expected || IsSwitch(argument.data(), argument.size());
    }
    if (mode & 1) {
        if (runtime.size() + 1 != list.size() || !std::equal(runtime.begin(), runtime.end(), list.begin() + 1)) {
            Report(line, settings, false, "the run-time split does not give the quoted list back");
        }
        const bool doubledQuotes = (mode >> 1) & 1;
        if (!doubledQuotes) {
            if (count != static_cast<int>(list.size())) {
                Report(line, settings, false, "argument count differs from the quoted list");
            }
            for (size_t i = 0; i < list.size(); ++i) {
                if (!SameText(arguments[i], list[i])) {
                    PrintUnits("listed argument", list[i]);
                    Report(line, settings, false, "the split does not give the quoted argument back");
                }
            }
        }
    }
    LocalFree(arguments);
    if (settings.rejectedSwitchSeen != expected) {
        Report(line, settings, expected, "rejectedSwitchSeen is wrong");
    }
    return 0;
}
