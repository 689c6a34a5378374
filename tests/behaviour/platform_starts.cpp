#include "platform_starts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

#include "seam_hooks.h"
#include "test_support.h"

namespace test {

namespace {

// As many as test.sh allows a whole run, for a test program run alone.
constexpr unsigned DEFAULT_LIMIT = 5;

std::wstring Variable(const wchar_t* name) {
    wchar_t value[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// test.sh names the log by its Linux path; Wine shows the Linux root as Z:.
std::wstring WindowsPath(std::wstring path) {
    if (path.empty() || path[0] != L'/') return path;
    for (wchar_t& unit : path) {
        if (unit == L'/') unit = L'\\';
    }
    return L"Z:" + path;
}

std::string Describe(LPCWSTR application, LPCWSTR commandLine, DWORD error) {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string text = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "outside a test";
    text += ": CreateProcessW(" + Narrow(application != nullptr ? application : commandLine) + ") failed with " +
            std::to_string(error);
    return text;
}

}  // namespace

bool IsPlatformStartFailure(DWORD error) { return error == ERROR_INTERNAL_ERROR; }

RetryBudget::RetryBudget(std::wstring log, unsigned limit, std::string* transcript)
    : log_(std::move(log)), limit_(limit), transcript_(transcript) {}

void RetryBudget::Say(const std::string& text) {
    if (transcript_ != nullptr) {
        *transcript_ += text + "\n";
        return;
    }
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

RetryBudget& RetryBudget::OfThisRun() {
    static RetryBudget budget = [] {
        const std::wstring limit = Variable(L"PLATFORM_START_LIMIT");
        return RetryBudget(WindowsPath(Variable(L"PLATFORM_START_LOG")),
                           limit.empty() ? DEFAULT_LIMIT : static_cast<unsigned>(std::wcstoul(limit.c_str(), nullptr, 10)));
    }();
    return budget;
}

unsigned RetryBudget::Retried() const {
    if (log_.empty()) return retried_;
    unsigned lines = 0;
    for (const char unit : ReadBytes(log_)) {
        lines += unit == '\n';
    }
    return lines;
}

bool RetryBudget::Take(const std::string& what) {
    const unsigned retried = Retried();
    if (retried >= limit_) {
        Say("platform start failure, not retried: this run has retried " + std::to_string(retried) +
            ", as many as it may: " + what);
        return false;
    }
    if (log_.empty()) {
        ++retried_;
    } else {
        const std::string line = what + "\n";
        HANDLE log = CreateFileW(log_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        // A retry that cannot be written down would not count against the
        // run's limit.
        if (log == INVALID_HANDLE_VALUE ||
            !WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
            Say("platform start failure, not retried: the log " + Narrow(log_) + " cannot be written: " + what);
            if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
            return false;
        }
        CloseHandle(log);
    }
    Say("platform start failure, started again (" + std::to_string(retried + 1) + " of at most " +
        std::to_string(limit_) + " in this run): " + what);
    return true;
}

BOOL StartProcessWith(const ProcessStart& start, RetryBudget& budget, LPCWSTR application, LPWSTR commandLine,
                      LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                      BOOL inheritHandles, DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                      LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation) {
    auto once = [&] {
        return start(application, commandLine, processAttributes, threadAttributes, inheritHandles, creationFlags,
                     environment, currentDirectory, startupInfo, processInformation);
    };
    if (once()) return TRUE;
    const DWORD error = GetLastError();
    if (!IsPlatformStartFailure(error) || !budget.Take(Describe(application, commandLine, error))) {
        SetLastError(error);
        return FALSE;
    }
    return once();
}

BOOL StartProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                  LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                  LPPROCESS_INFORMATION processInformation) {
    return StartProcessWith(SEAM(CreateProcessW)::Real, RetryBudget::OfThisRun(), application, commandLine,
                            processAttributes, threadAttributes, inheritHandles, creationFlags, environment,
                            currentDirectory, startupInfo, processInformation);
}

namespace {

// For the whole run, the product's own starts go through StartProcess while
// no test replaces CreateProcessW; at the end, the count that test.sh reads.
class PlatformStarts : public testing::Environment {
public:
    void SetUp() override { SEAM(CreateProcessW)::replacement = StartProcess; }
    void TearDown() override {
        SEAM(CreateProcessW)::replacement = nullptr;
        std::printf("platform start failures retried: %u\n", RetryBudget::OfThisRun().Retried());
        std::fflush(stdout);
    }
};

[[maybe_unused]] testing::Environment* const platformStarts =
    testing::AddGlobalTestEnvironment(new PlatformStarts);

}  // namespace

}  // namespace test
