// LaunchSettings::ParseCommandLine: the refused switches are found in any
// argument after the program name, in any letter case, and never in the
// program name; the argument vector is released by the destructor
// (LeakSanitizer reports it otherwise).
//
// Input: a mode byte, then UTF-16LE units.
//   even mode: the units are the command line itself (it ends at the first
//     NUL). The expectation comes from splitting it with the
//     CommandLineToArgvW stand-in and comparing each argument independently.
//   odd mode: the units are a list of arguments separated by NUL units (the
//     first is the program name). They are quoted into a command line, so the
//     expectation comes from the list itself, and the split must give the
//     list back, which also checks the stand-in against the splitting rules.
//     The mode's other bits choose blanks and quoting styles.

#include <shellapi.h>

#include "fuzz_support.h"
#include "settings/launch_settings.h"

namespace {

const char* const SWITCHES[] = {"--cleanup", "--brisel-frame"};

// Case-insensitive for the ASCII letters of the switch names, exact for
// everything else.
bool IsSwitch(const wchar_t* argument, size_t length) {
    for (const char* name : SWITCHES) {
        size_t i = 0;
        for (; name[i] != 0 && i < length; ++i) {
            const wchar_t expected = static_cast<wchar_t>(name[i]);
            const bool letter = expected >= L'a' && expected <= L'z';
            if (argument[i] != expected && !(letter && argument[i] == expected - 32)) {
                break;
            }
        }
        if (name[i] == 0 && i == length) {
            return true;
        }
    }
    return false;
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

    bool expected = false;
    if (mode & 1) {
        if (settings.argumentCount != static_cast<int32_t>(list.size())) {
            Report(line, settings, false, "argument count differs from the quoted list");
        }
        for (size_t i = 0; i < list.size(); ++i) {
            if (!SameText(settings.argumentVector[i], list[i])) {
                PrintUnits("listed argument", list[i]);
                Report(line, settings, false, "the split does not give the quoted argument back");
            }
            if (i > 0) {
                expected = expected || IsSwitch(list[i].data(), list[i].size());
            }
        }
    } else {
        int count = 0;
        LPWSTR* arguments = CommandLineToArgvW(text.Data(), &count);
        if (arguments == nullptr || count != settings.argumentCount) {
            Report(line, settings, false, "argument count differs from a second split");
        }
        for (int i = 1; i < count; ++i) {
            expected = expected || IsSwitch(arguments[i], LengthOf(arguments[i]));
        }
        LocalFree(arguments);
    }
    if (settings.rejectedSwitchSeen != expected) {
        Report(line, settings, expected, "rejectedSwitchSeen is wrong");
    }
    return 0;
}
