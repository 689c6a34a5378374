#include "entry/process_start.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seam_hooks.h"

namespace {

// The process's first steps, in order: the library search set to the
// system folder alone (before anything could load a library by name), then
// the whole cookie drawn. Neither is really done to the test program.
class ProtectProcessTest : public testing::Test {
protected:
    std::vector<std::string> steps;
    DWORD searchFlags = 0;
    ULONG drawn = 0;
    BOOL searchSet = TRUE;
    BOOLEAN randomGiven = TRUE;
    SEAM(SetDefaultDllDirectories)::Guard search =
        SEAM(SetDefaultDllDirectories)::Replace([this](DWORD flags) -> BOOL {
            steps.push_back("search");
            searchFlags = flags;
            if (!searchSet) SetLastError(ERROR_INVALID_PARAMETER);
            return searchSet;
        });
    SEAM(SystemFunction036)::Guard random = SEAM(SystemFunction036)::Replace([this](PVOID buffer, ULONG size) -> BOOLEAN {
        steps.push_back("random");
        drawn = size;
        if (randomGiven) {
            for (ULONG i = 0; i < size; ++i) static_cast<unsigned char*>(buffer)[i] = 0xA5;
        }
        return randomGiven;
    });
};

TEST_F(ProtectProcessTest, SetsTheSystemFolderSearchThenDrawsTheWholeCookie) {
    uintptr_t cookie = 0;
    EXPECT_TRUE(ProtectProcess(cookie));
    EXPECT_EQ(steps, (std::vector<std::string>{"search", "random"}));
    EXPECT_EQ(searchFlags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_EQ(drawn, sizeof(cookie));
    EXPECT_EQ(cookie, static_cast<uintptr_t>(0xA5A5A5A5A5A5A5A5ULL));
}

// A cookie left at its known starting value protects nothing, and a search
// left to the default looks beside the installer first: either failing is
// the run's end, not something to go on without.
TEST_F(ProtectProcessTest, EitherStepFailingIsAFailure) {
    struct Case {
        const char* name;
        BOOL searchSet;
        BOOLEAN randomGiven;
        std::vector<std::string> steps;
    };
    for (const Case& c : {Case{"no search set", FALSE, TRUE, {"search"}},
                          Case{"no random bytes", TRUE, FALSE, {"search", "random"}}}) {
        SCOPED_TRACE(c.name);
        steps.clear();
        searchSet = c.searchSet;
        randomGiven = c.randomGiven;
        uintptr_t cookie = 0;
        EXPECT_FALSE(ProtectProcess(cookie));
        EXPECT_EQ(steps, c.steps);
    }
}

}  // namespace
