// Figures for ./bench.sh: what one whole run of the stub allocates and writes.
// Disabled, so the suite never runs it; bench.sh runs it with
// --gtest_also_run_disabled_tests, once over this tree and once over the tree
// of the commit before a change (it copies this file there), and prints the
// figures side by side. Nothing here asserts an amount: the figures are for
// people to compare. So it uses nothing but what both trees have: RunStub,
// the library record and the seam.
//
// BENCH_RUN_MODULE names the installer to run (an installer image, or a
// layout module with a runnable setup program); without it, the runnable_setup
// layout. It is copied beside the run and loaded from there, so that the run
// holds and recognises its own file.
#include "entry/run_stub.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "payload/cabinet_expansion.h"
#include "seam_hooks.h"
#include "test_support.h"

// Declared for the tree whose seam does not hook it (its stub no longer
// imports it); defined by the seam where it does.
namespace seam::tags {
struct GetVolumeInformationW;
}

namespace {

// GetVolumeInformationW, where this tree's seam hooks it, made to report
// FILE_PERSISTENT_ACLS as NTFS does; nothing where it does not. The bench
// builds this file in the tree before a change as well as in this one.
template <typename Tag, typename = void>
struct AclsAnsweredByPath {
    static int Install() { return 0; }
};

template <typename Tag>
struct AclsAnsweredByPath<Tag, std::void_t<decltype(Tag::real)>> {
    static auto Install() {
        using Hook = ::seam::Hook<Tag, decltype(::GetVolumeInformationW)>;
        return Hook::Replace([](LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial, LPDWORD length,
                                LPDWORD flags, LPWSTR fs, DWORD fsSize) -> BOOL {
            DWORD own = 0;
            if (!Hook::Real(root, name, nameSize, serial, length, &own, fs, fsSize)) {
                own = 0;
            }
            if (flags != nullptr) {
                *flags = own | FILE_PERSISTENT_ACLS;
            }
            return TRUE;
        });
    }
};

struct Tally {
    unsigned long calls = 0;
    unsigned long long bytes = 0;
    void Add(unsigned long long size) {
        ++calls;
        bytes += size;
    }
};

// The cabinet library's blocks come through the stub's allocation callback:
// FDICreate is handed out wrapped, and its allocation callback marks the
// HeapAlloc inside it as the library's. Every other block is the stub's own.
namespace library {

using CreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
CreateFunction realCreate = nullptr;
PFNALLOC stubAlloc = nullptr;
bool allocating = false;

FNALLOC(Alloc) {
    allocating = true;
    void* block = stubAlloc(cb);
    allocating = false;
    return block;
}

HFDI DIAMONDAPI Create(PFNALLOC a, PFNFREE f, PFNOPEN o, PFNREAD r, PFNWRITE w, PFNCLOSE c, PFNSEEK s, int cpu,
                       PERF erf) {
    stubAlloc = a;
    return realCreate(Alloc, f, o, r, w, c, s, cpu, erf);
}

}  // namespace library

std::wstring Variable(const wchar_t* name) {
    wchar_t value[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// Bytes of every file under `directory`, the installer aside.
unsigned long long BytesUnder(const std::wstring& directory, const std::wstring& skip) {
    unsigned long long bytes = 0;
    for (const std::wstring& name : test::Entries(directory)) {
        const std::wstring path = directory + name;
        if (test::IsDirectory(path)) {
            bytes += BytesUnder(path + L"\\", skip);
        } else if (path != skip) {
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
                bytes += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            }
        }
    }
    return bytes;
}

TEST(BenchRunTest, DISABLED_OneWholeRun) {
    std::wstring source = Variable(L"BENCH_RUN_MODULE");
    if (source.empty()) {
        source = test::LayoutDirectory() + L"runnable_setup.dll";
    }
    test::ScratchDirectory folder;
    test::CleanupRegistryValue registry;
    const std::wstring installer = folder / L"installer.exe";
    ASSERT_TRUE(CopyFileW(source.c_str(), installer.c_str(), FALSE)) << test::Narrow(source);
    HMODULE module = LoadLibraryExW(installer.c_str(), nullptr, 0);
    ASSERT_NE(module, nullptr) << test::Narrow(source) << " not loaded";
    std::wstring commandLine = L"\"" + installer + L"\"";

    std::map<std::string, Tally> heap;
    Tally written;
    std::set<std::wstring> created;
    unsigned long long peak = 0;

    auto line = SEAM(GetCommandLineW)::Replace([&]() -> LPWSTR { return commandLine.data(); });
    // A tree that asks the volume by path (the one before, say) is told by
    // Wine's drives that they keep no ACLs, which would skip the token, SID
    // and descriptor allocations that Windows makes on NTFS; a tree that
    // builds the descriptor on every volume has no such call to answer.
    auto volume = AclsAnsweredByPath<seam::tags::GetVolumeInformationW>::Install();
    auto lookup = SEAM(GetProcAddress)::Replace([](HMODULE from, LPCSTR name) -> FARPROC {
        const FARPROC found = SEAM(GetProcAddress)::Real(from, name);
        if (found != nullptr && !IS_INTRESOURCE(name) && std::strcmp(name, "FDICreate") == 0) {
            library::realCreate = reinterpret_cast<library::CreateFunction>(reinterpret_cast<void*>(found));
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&library::Create));
        }
        return found;
    });

    auto heapAlloc = SEAM(HeapAlloc)::Replace([&](HANDLE h, DWORD flags, SIZE_T bytes) -> LPVOID {
        heap[library::allocating ? "cabinet library's own blocks (through CabAlloc)" : "the stub's own blocks"].Add(
            bytes);
        heap["= all HeapAlloc"].Add(bytes);
        return SEAM(HeapAlloc)::Real(h, flags, bytes);
    });
    auto local = SEAM(LocalAlloc)::Replace([&](UINT flags, SIZE_T bytes) -> HLOCAL {
        heap["token information (LocalAlloc in TokenOwnerSidText)"].Add(bytes);
        heap["= all LocalAlloc"].Add(bytes);
        return SEAM(LocalAlloc)::Real(flags, bytes);
    });
    // Blocks the system allocates for us (LocalAlloc inside the call; freed by
    // the stub with LocalFree): their size is what LocalSize reports.
    auto argv = SEAM(CommandLineToArgvW)::Replace([&](LPCWSTR text, int* count) -> LPWSTR* {
        LPWSTR* vector = SEAM(CommandLineToArgvW)::Real(text, count);
        heap["argument vector (CommandLineToArgvW)"].Add(vector ? LocalSize(vector) : 0);
        return vector;
    });
    auto sid = SEAM(ConvertSidToStringSidW)::Replace([&](PSID owner, LPWSTR* text) -> BOOL {
        const BOOL done = SEAM(ConvertSidToStringSidW)::Real(owner, text);
        heap["SID text (ConvertSidToStringSidW)"].Add(done ? LocalSize(*text) : 0);
        return done;
    });
    auto descriptor = SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Replace(
        [&](LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR* out, PULONG size) -> BOOL {
            const BOOL done =
                SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Real(sddl, revision, out, size);
            heap["descriptor (ConvertStringSecurityDescriptorToSecurityDescriptorW)"].Add(done ? LocalSize(*out)
                                                                                              : 0);
            return done;
        });

    // Every file the run creates beside the installer (the scratch directory
    // and what is in it), every byte it writes, and what its files hold
    // together on disk after each write, where the peak must lie.
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD how, DWORD attributes, HANDLE model) -> HANDLE {
        const std::wstring path = name;
        HANDLE file = SEAM(CreateFileW)::Real(name, access, share, security, how, attributes, model);
        if (file != INVALID_HANDLE_VALUE && how != OPEN_EXISTING && how != TRUNCATE_EXISTING &&
            path.rfind(folder.Path(), 0) == 0 && path != installer) {
            created.insert(path.substr(path.rfind(L'\\') + 1));
        }
        return file;
    });
    auto write = SEAM(WriteFile)::Replace([&](HANDLE file, LPCVOID data, DWORD size, LPDWORD done,
                                              LPOVERLAPPED overlapped) -> BOOL {
        const BOOL wrote = SEAM(WriteFile)::Real(file, data, size, done, overlapped);
        if (wrote) {
            written.Add(size);
            const unsigned long long now = BytesUnder(folder.Path(), installer);
            peak = now > peak ? now : peak;
        }
        return wrote;
    });

    const CabinetLibrary savedLibrary = cabinetLibrary;
    cabinetLibrary = {};  // as in a fresh process: the library is looked for and loaded
    const RunOutcome outcome = RunStub(module);
    cabinetLibrary = savedLibrary;
    FreeLibrary(module);

    std::printf("--- run figures ---\n");
    std::printf("outcome %u %u\n", outcome.exitCode, outcome.systemError);
    const char* const order[] = {"argument vector (CommandLineToArgvW)",
                                 "token information (LocalAlloc in TokenOwnerSidText)",
                                 "SID text (ConvertSidToStringSidW)",
                                 "descriptor (ConvertStringSecurityDescriptorToSecurityDescriptorW)",
                                 "the stub's own blocks",
                                 "cabinet library's own blocks (through CabAlloc)",
                                 "= all HeapAlloc",
                                 "= all LocalAlloc"};
    for (const char* who : order) {
        const Tally tally = heap[who];
        std::printf("heap %s\t%lu\t%llu\n", who, tally.calls, tally.bytes);
    }
    std::printf("written %lu %llu\n", written.calls, written.bytes);
    std::string names;
    for (const std::wstring& name : created) {
        names += (names.empty() ? "" : ", ") + test::Narrow(name);
    }
    std::printf("created %zu %s\n", created.size(), names.c_str());
    std::printf("peak %llu\n", peak);
    std::printf("--- end ---\n");
    std::fflush(stdout);
}

}  // namespace
