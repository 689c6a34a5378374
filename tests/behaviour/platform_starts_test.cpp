#include "platform_starts.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A start that fails with the given errors in turn (0: it starts).
struct ScriptedStart {
    std::vector<DWORD> errors;
    size_t calls = 0;

    test::ProcessStart Function() {
        return [this](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                      LPSTARTUPINFOW, LPPROCESS_INFORMATION) -> BOOL {
            const DWORD error = calls < errors.size() ? errors[calls] : 0;
            ++calls;
            SetLastError(error);
            return error == 0;
        };
    }
};

BOOL Start(ScriptedStart& scripted, test::RetryBudget& budget) {
    std::wstring line = L"setup.exe";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    return test::StartProcessWith(scripted.Function(), budget, L"C:\\dir\\setup.exe", line.data(), nullptr, nullptr,
                                  FALSE, 0, nullptr, nullptr, &startup, &process);
}

struct RetryCase {
    const char* name;
    std::vector<DWORD> errors;
    unsigned alreadyRetried;  // by the run, before this start
    BOOL started;
    DWORD error;  // the last error the caller sees when it did not start
    size_t calls;
};

void PrintTo(const RetryCase& c, std::ostream* out) { *out << c.name; }

class PlatformStartTest : public testing::TestWithParam<RetryCase> {};

// Only the platform's own refusal is retried, once, and only while the run
// may: whatever the code under test caused, or a refusal that comes back,
// reaches the caller unchanged.
TEST_P(PlatformStartTest, RetriesOnlyTheFirstRefusalOfThePlatformWhileTheRunMay) {
    const RetryCase& c = GetParam();
    test::ScratchDirectory folder;
    const std::wstring log = folder / L"platform-starts.log";
    test::WriteBytes(log, std::string(c.alreadyRetried, '\n'));
    std::string said;
    test::RetryBudget budget(log, 2, &said);
    ScriptedStart scripted{c.errors};
    const BOOL started = Start(scripted, budget);
    const DWORD error = GetLastError();
    EXPECT_EQ(started, c.started);
    if (!c.started) {
        EXPECT_EQ(error, c.error);
    }
    EXPECT_EQ(scripted.calls, c.calls);
    EXPECT_EQ(budget.Retried(), c.alreadyRetried + (c.calls - 1)) << "every retry is written down";
    EXPECT_EQ(said.find("started again") != std::string::npos, c.calls == 2) << "every retry is said: " << said;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlatformStartTest,
    testing::Values(
        RetryCase{"StartedAtOnce", {}, 0, TRUE, 0, 1},
        RetryCase{"RefusedOnceThenStarted", {ERROR_INTERNAL_ERROR}, 0, TRUE, 0, 2},
        RetryCase{"RefusedOnTheRetryToo", {ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR}, 0, FALSE,
                  ERROR_INTERNAL_ERROR, 2},
        RetryCase{"RefusedThenAnotherError", {ERROR_INTERNAL_ERROR, ERROR_ACCESS_DENIED}, 0, FALSE,
                  ERROR_ACCESS_DENIED, 2},
        RetryCase{"FileNotFoundIsNotThePlatforms", {ERROR_FILE_NOT_FOUND}, 0, FALSE, ERROR_FILE_NOT_FOUND, 1},
        RetryCase{"BadImageIsNotThePlatforms", {ERROR_BAD_EXE_FORMAT}, 0, FALSE, ERROR_BAD_EXE_FORMAT, 1},
        RetryCase{"BadParameterIsNotThePlatforms", {ERROR_INVALID_PARAMETER}, 0, FALSE, ERROR_INVALID_PARAMETER, 1},
        RetryCase{"LastRetryTheRunMayMake", {ERROR_INTERNAL_ERROR}, 1, TRUE, 0, 2},
        RetryCase{"RunHasRetriedAsManyAsItMay", {ERROR_INTERNAL_ERROR}, 2, FALSE, ERROR_INTERNAL_ERROR, 1}),
    [](const testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

// The log is the run's count, whichever process wrote it: a fresh budget over
// the same log (another process of the run) sees the retries already made.
TEST(PlatformStartBudget, IsSharedThroughTheLog) {
    test::ScratchDirectory folder;
    const std::wstring log = folder / L"platform-starts.log";
    std::string said;
    test::RetryBudget first(log, 2, &said);
    test::RetryBudget second(log, 2, &said);
    ScriptedStart refusedOnce{{ERROR_INTERNAL_ERROR}};
    EXPECT_TRUE(Start(refusedOnce, first));
    ScriptedStart refusedAgain{{ERROR_INTERNAL_ERROR}};
    EXPECT_TRUE(Start(refusedAgain, second));
    ScriptedStart oneTooMany{{ERROR_INTERNAL_ERROR}};
    EXPECT_FALSE(Start(oneTooMany, first));
    EXPECT_EQ(second.Retried(), 2u);
}

}  // namespace
