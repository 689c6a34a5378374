// Heap figures for ./bench.sh: what one whole run of the stub allocates, and
// who asked for it. Disabled, so the suite never runs it; bench.sh runs it
// with --gtest_also_run_disabled_tests and copies the table it prints.
// Nothing here asserts an amount: the figures are for people to compare.
#include "entry/run_stub.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "payload/cabinet_expansion.h"
#include "seam_hooks.h"
#include "test_support.h"

namespace {

using test::LayoutDirectory;
using test::LayoutModule;

struct Tally {
    unsigned long calls = 0;
    unsigned long long bytes = 0;
    void Add(unsigned long long size) {
        ++calls;
        bytes += size;
    }
};

// The stub's HeapAlloc calls all go through cabinet_expansion.cpp, and each
// kind follows its own size query: a UTF-16 to UTF-8 query comes before a
// cabinet-name block, a UTF-8 to UTF-16 query before CabOpen's name; any
// other block is one the cabinet library asked for through CabAlloc.
enum class Pending { None, Utf8Name, WideName };

TEST(BenchHeapTest, DISABLED_OneWholeRunOfTheShippedLayout) {
    // The layout as an installer would be: a file of its own, run from where
    // it lies, so that the run holds and recognises its own file.
    test::ScratchDirectory folder;
    test::CleanupRegistryValue registry;
    const std::wstring installer = folder / L"installer.exe";
    test::WriteBytes(installer, test::ReadBytes(LayoutDirectory() + L"runnable_setup.dll"));
    HMODULE module = LoadLibraryExW(installer.c_str(), nullptr, 0);
    ASSERT_NE(module, nullptr) << "layout runnable_setup not loaded";
    std::wstring commandLine = L"\"" + installer + L"\"";

    std::map<std::string, Tally> table;
    Pending pending = Pending::None;

    auto line = SEAM(GetCommandLineW)::Replace([&]() -> LPWSTR { return commandLine.data(); });
    // Wine reports no ACL support for its drives, which would skip the token,
    // SID and descriptor allocations that Windows makes on NTFS.
    auto volume = SEAM(GetVolumeInformationW)::Replace([](LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                                          LPDWORD length, LPDWORD flags, LPWSTR fs,
                                                          DWORD fsSize) -> BOOL {
        DWORD own = 0;
        if (!SEAM(GetVolumeInformationW)::Real(root, name, nameSize, serial, length, &own, fs, fsSize)) {
            own = 0;
        }
        if (flags != nullptr) {
            *flags = own | FILE_PERSISTENT_ACLS;
        }
        return TRUE;
    });

    auto narrowQuery = SEAM(WideCharToMultiByte)::Replace(
        [&](UINT page, DWORD flags, LPCWCH text, int count, LPSTR out, int size, LPCCH fallback, LPBOOL used) {
            pending = out == nullptr && size == 0 ? Pending::Utf8Name : Pending::None;
            return SEAM(WideCharToMultiByte)::Real(page, flags, text, count, out, size, fallback, used);
        });
    auto wideQuery = SEAM(MultiByteToWideChar)::Replace(
        [&](UINT page, DWORD flags, LPCCH text, int count, LPWSTR out, int size) {
            pending = out == nullptr && size == 0 ? Pending::WideName : Pending::None;
            return SEAM(MultiByteToWideChar)::Real(page, flags, text, count, out, size);
        });
    auto heap = SEAM(HeapAlloc)::Replace([&](HANDLE h, DWORD flags, SIZE_T bytes) -> LPVOID {
        const char* who = pending == Pending::Utf8Name   ? "cabinet-name blocks (HeapAlloc in ExpandCabinet)"
                          : pending == Pending::WideName ? "CabOpen name conversions (HeapAlloc)"
                                                         : "cabinet library's own blocks (CabAlloc -> HeapAlloc)";
        pending = Pending::None;
        table[who].Add(bytes);
        table["= all HeapAlloc"].Add(bytes);
        return SEAM(HeapAlloc)::Real(h, flags, bytes);
    });
    auto heapFree = SEAM(HeapFree)::Replace([&](HANDLE h, DWORD flags, LPVOID block) -> BOOL {
        pending = Pending::None;
        return SEAM(HeapFree)::Real(h, flags, block);
    });
    auto local = SEAM(LocalAlloc)::Replace([&](UINT flags, SIZE_T bytes) -> HLOCAL {
        table["token information (LocalAlloc in TokenOwnerSidText)"].Add(bytes);
        table["= all LocalAlloc"].Add(bytes);
        return SEAM(LocalAlloc)::Real(flags, bytes);
    });
    // Blocks the system allocates for us (LocalAlloc inside the call; freed by
    // the stub with LocalFree): their size is what LocalSize reports.
    auto argv = SEAM(CommandLineToArgvW)::Replace([&](LPCWSTR text, int* count) -> LPWSTR* {
        LPWSTR* vector = SEAM(CommandLineToArgvW)::Real(text, count);
        table["argument vector (CommandLineToArgvW)"].Add(vector ? LocalSize(vector) : 0);
        return vector;
    });
    auto sid = SEAM(ConvertSidToStringSidW)::Replace([&](PSID owner, LPWSTR* text) -> BOOL {
        const BOOL done = SEAM(ConvertSidToStringSidW)::Real(owner, text);
        table["SID text (ConvertSidToStringSidW)"].Add(done ? LocalSize(*text) : 0);
        return done;
    });
    auto descriptor = SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Replace(
        [&](LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* out, PULONG size) -> BOOL {
            const BOOL done =
                SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Real(sddl, revision, out, size);
            table["descriptor (ConvertStringSecurityDescriptorToSecurityDescriptorW)"].Add(done ? LocalSize(*out)
                                                                                               : 0);
            return done;
        });

    const CabinetLibrary savedLibrary = cabinetLibrary;
    const RunOutcome outcome = RunStub(module);
    cabinetLibrary = savedLibrary;
    FreeLibrary(module);
    // fixed_exit.exe ends with 7: the run went all the way through.
    EXPECT_EQ(outcome, (RunOutcome{7, 0}));

    // In the order of the run; the totals last.
    const char* const order[] = {"argument vector (CommandLineToArgvW)",
                                 "token information (LocalAlloc in TokenOwnerSidText)",
                                 "SID text (ConvertSidToStringSidW)",
                                 "descriptor (ConvertStringSecurityDescriptorToSecurityDescriptorW)",
                                 "cabinet-name blocks (HeapAlloc in ExpandCabinet)",
                                 "CabOpen name conversions (HeapAlloc)",
                                 "cabinet library's own blocks (CabAlloc -> HeapAlloc)",
                                 "= all HeapAlloc",
                                 "= all LocalAlloc"};
    std::printf("--- heap figures ---\n");
    std::printf("| who | calls | bytes |\n|---|---:|---:|\n");
    for (const char* who : order) {
        const Tally tally = table[who];
        std::printf("| %s | %lu | %llu |\n", who, tally.calls, tally.bytes);
    }
    std::printf("--- end ---\n");
    std::fflush(stdout);
}

}  // namespace
