#pragma once

// Starts of real processes that Wine itself now and then refuses. Under load
// a new process may die before it has finished starting (Wine's own words,
// with WINEDEBUG=err+all: "failed to map the shared user data"), and
// CreateProcessW then fails with ERROR_INTERNAL_ERROR, whoever asked for the
// start. Such a failure says nothing about the code under test, so the start
// is made once more. Only once for each start, and only a few times in a
// whole test run: a failure that comes back on the retry, or one more than
// the run may retry, reaches the caller as it is, so that a real regression
// cannot hide behind retries.
//
// Every process of a tier writes its retries, one a line, to the log that
// test.sh names in PLATFORM_START_LOG, and the run's remaining retries come
// in PLATFORM_START_LIMIT; the test program prints the tier's count at its end.

#include <windows.h>

#include <functional>
#include <string>

namespace test {

// Wine's answer when the new process died while it started; no request of
// ours can cause it.
bool IsPlatformStartFailure(DWORD error);

// The retries a test run may still make, and where they are written down.
class RetryBudget {
public:
    // `log` is a Windows path, or empty to count in this process only.
    // What it says goes to stdout, or to `transcript` when one is given.
    RetryBudget(std::wstring log, unsigned limit, std::string* transcript = nullptr);

    // This run's: the log and limit that test.sh gave, or this process alone.
    static RetryBudget& OfThisRun();

    // True, with the retry written down and printed, while the run may
    // retry one more start; else prints that it may not, and false.
    bool Take(const std::string& what);
    unsigned Retried() const;

private:
    void Say(const std::string& text);

    std::wstring log_;
    unsigned limit_;
    std::string* transcript_;
    unsigned retried_ = 0;  // without a log
};

using ProcessStart = std::function<BOOL(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                        LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION)>;

// CreateProcessW's arguments through `start`, made once more when the
// platform refused the start and `budget` allows a retry.
BOOL StartProcessWith(const ProcessStart& start, RetryBudget& budget, LPCWSTR application, LPWSTR commandLine,
                      LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                      BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                      LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);

// The real CreateProcessW with this run's budget: how the tests start a real
// program, and (installed for the whole run) how the product's own starts
// reach the real function while no test replaces it.
BOOL StartProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                  LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                  LPPROCESS_INFORMATION processInformation);

}  // namespace test
