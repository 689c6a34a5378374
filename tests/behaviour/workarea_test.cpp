#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"
#include "workarea/removal.h"
#include "workarea/work_directory.h"

namespace {

const std::wstring SDDL_PREFIX =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";

// Random bytes chosen by the test: call n of SystemFunction036 draws the
// bytes that name QX_0000n.tmp.
auto SequentialRandomBytes() {
    return SEAM(SystemFunction036)::Replace([call = 0](PVOID buffer, ULONG size) mutable -> BOOLEAN {
        auto* bytes = static_cast<uint8_t*>(buffer);
        for (ULONG i = 0; i < size; ++i) bytes[i] = 0;
        bytes[2] = static_cast<uint8_t>(call++ << 4);
        bytes[3] = 0xFF;
        return TRUE;
    });
}

auto VolumeFlags(DWORD flags) {
    return SEAM(GetVolumeInformationByHandleW)::Replace(
        [flags](HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD fileSystemFlags, LPWSTR, DWORD) -> BOOL {
            *fileSystemFlags = flags;
            return TRUE;
        });
}

// The Temp folder of the Windows folder, with its trailing backslash.
std::wstring SystemTemp() {
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, length) + L"\\Temp\\";
}

// One call of the native create as the product made it, and what it gave.
struct NativeCreateCall {
    const OBJECT_ATTRIBUTES& attributes;
    ACCESS_MASK access;
    ULONG share;
    ULONG disposition;
    ULONG options;
    NTSTATUS result;
    HANDLE created;  // null unless the result is a success
};

// Lets every native create of the product happen, then shows it to `watch`.
auto WatchNativeCreates(std::function<void(const NativeCreateCall&)> watch) {
    return SEAM(NtCreateFile)::Replace([watch](PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                               PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG fileAttributes,
                                               ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                               ULONG eaLength) -> NTSTATUS {
        const NTSTATUS result = SEAM(NtCreateFile)::Real(handle, access, attributes, status, size, fileAttributes, share,
                                                         disposition, options, ea, eaLength);
        watch({*attributes, access, share, disposition, options, result, result >= 0 ? *handle : nullptr});
        return result;
    });
}

// The descriptor each create was given, null when none.
auto RecordDescriptors(std::vector<PSECURITY_DESCRIPTOR>& seen) {
    return WatchNativeCreates([&seen](const NativeCreateCall& call) { seen.push_back(call.attributes.SecurityDescriptor); });
}

std::wstring ObjectName(const OBJECT_ATTRIBUTES& attributes) {
    return std::wstring(attributes.ObjectName->Buffer, attributes.ObjectName->Length / sizeof(wchar_t));
}

// The file system's identity of what a handle is open on.
std::pair<DWORD, uint64_t> Identity(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle, &info)) return {0, 0};
    return {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::pair<DWORD, uint64_t> IdentityOf(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {0, 0};
    const auto identity = Identity(handle);
    CloseHandle(handle);
    return identity;
}

// The hold on a made directory, let go of when the test is done with it.
struct Hold {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Hold() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

class WorkDirectoryTest : public testing::Test {
protected:
    test::ScratchDirectory parent;
    PathBuffer workDirectory;
    Hold held;
    RunOutcome outcome = {1, 1};
};

TEST_F(WorkDirectoryTest, CreatesARandomlyNamedDirectoryBesideTheParent) {
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(outcome, (RunOutcome{EXIT_OK, 0}));
    const std::wstring path = workDirectory.Text();
    ASSERT_EQ(path.substr(0, parent.Path().size()), parent.Path());
    EXPECT_EQ(path.back(), L'\\');
    const std::wstring name = path.substr(parent.Path().size(), path.size() - parent.Path().size() - 1);
    EXPECT_TRUE(std::regex_match(test::Narrow(name), std::regex("QX_[0-9A-F]{5}\\.tmp"))) << test::Narrow(name);
    EXPECT_TRUE(test::IsDirectory(path));
}

TEST_F(WorkDirectoryTest, NamesTheDirectoryFromTheFirstFiveDigitsOfTheRandomBytes) {
    auto random = SEAM(SystemFunction036)::Replace([](PVOID buffer, ULONG size) -> BOOLEAN {
        const uint8_t bytes[4] = {0x4F, 0x0A, 0x2B, 0xC3};
        std::copy(bytes, bytes + std::min<ULONG>(size, 4), static_cast<uint8_t*>(buffer));
        return TRUE;
    });
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(std::wstring(workDirectory.Text()), parent / L"QX_4F0A2.tmp\\");
}

// Nested folders that make a parent path of exactly `length` units, with its
// trailing backslash.
std::wstring DeepParent(const std::wstring& base, size_t length) {
    std::wstring path = base;
    while (path.size() < length) {
        const size_t segment = std::min<size_t>(60, length - path.size() - 1);
        path += std::wstring(segment, L'd') + L"\\";
        CreateDirectoryW(path.c_str(), nullptr);
    }
    return path;
}

TEST_F(WorkDirectoryTest, ParentOf246UnitsGivesA259UnitPath) {
    const std::wstring deep = DeepParent(parent.Path(), 246);
    ASSERT_EQ(deep.size(), 246u);
    ASSERT_TRUE(MakeWorkDirectory(deep.c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(workDirectory.Length(), 259u);
    EXPECT_TRUE(test::IsDirectory(workDirectory.Text()));
}

TEST_F(WorkDirectoryTest, ParentOf247UnitsIsTooLongAndCreatesNothing) {
    const std::wstring deep = DeepParent(parent.Path(), 247);
    ASSERT_EQ(deep.size(), 247u);
    const unsigned long creations = SEAM_CALLS(NtCreateFile);
    EXPECT_FALSE(MakeWorkDirectory(deep.c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(outcome, (RunOutcome{EXIT_PATH_TOO_LONG, 0}));
    EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations);
}

TEST_F(WorkDirectoryTest, TriesTenNamesAndGivesUpAfterTheTenth) {
    struct Case {
        int existing;
        RunOutcome expected;
    };
    for (const Case& c : {Case{9, {EXIT_OK, 0}}, Case{10, {EXIT_WORK_DIR_FAILED, 0}}}) {
        test::ScratchDirectory folder;
        // Taken names: directories, and files every third name, which take
        // a name just the same and are left alone.
        for (int n = 0; n < c.existing; ++n) {
            const std::wstring name = folder / (L"QX_0000" + std::to_wstring(n) + L".tmp");
            if (n % 3 == 2) {
                test::WriteBytes(name, "someone else's");
            } else {
                CreateDirectoryW(name.c_str(), nullptr);
            }
        }
        auto random = SequentialRandomBytes();
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        PathBuffer directory;
        Hold hold;
        EXPECT_EQ(MakeWorkDirectory(folder.Path().c_str(), directory, hold.handle, outcome), c.expected.exitCode == EXIT_OK);
        EXPECT_EQ(outcome, c.expected) << c.existing << " names taken";
        EXPECT_EQ(SEAM_CALLS(NtCreateFile) - creations, 10u);
        if (c.expected.exitCode == EXIT_OK) {
            EXPECT_EQ(std::wstring(directory.Text()), folder / L"QX_00009.tmp\\");
        }
        EXPECT_EQ(test::Entries(folder.Path()).size(), 10u);
        EXPECT_EQ(test::ReadBytes(folder / L"QX_00002.tmp"), "someone else's");
    }
}

// A volume without ACLs ignores a descriptor, and anyone could write beside
// setup.exe there: the directory goes to the system's own Temp folder, with
// the descriptor, and never to one that the environment names.
TEST_F(WorkDirectoryTest, VolumeWithoutAclsGetsAProtectedDirectoryInTheSystemsTemp) {
    auto flags = VolumeFlags(FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK);
    std::vector<HANDLE> asked;
    auto volume = SEAM(GetVolumeInformationByHandleW)::Replace(
        [&, inner = SEAM(GetVolumeInformationByHandleW)::replacement](HANDLE folder, LPWSTR name, DWORD nameSize,
                                                                       LPDWORD serial, LPDWORD component,
                                                                       LPDWORD fileSystemFlags, LPWSTR system,
                                                                       DWORD systemSize) -> BOOL {
            asked.push_back(folder);
            return inner(folder, name, nameSize, serial, component, fileSystemFlags, system, systemSize);
        });
    std::vector<std::wstring> folders;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        folders.push_back(path);
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    std::vector<PSECURITY_DESCRIPTOR> descriptors;
    auto creation = RecordDescriptors(descriptors);
    // The environment names a folder of its own for temporary files: never used.
    test::ScratchDirectory elsewhere;
    SetEnvironmentVariableW(L"TEMP", elsewhere.Path().c_str());
    SetEnvironmentVariableW(L"TMP", elsewhere.Path().c_str());
    const bool made = MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome);
    SetEnvironmentVariableW(L"TEMP", nullptr);
    SetEnvironmentVariableW(L"TMP", nullptr);
    ASSERT_TRUE(made);
    EXPECT_EQ(outcome, (RunOutcome{EXIT_OK, 0}));
    const std::wstring path = workDirectory.Text();
    EXPECT_EQ(path.substr(0, SystemTemp().size()), SystemTemp());
    EXPECT_TRUE(std::regex_match(test::Narrow(path.substr(SystemTemp().size())), std::regex("QX_[0-9A-F]{5}\\.tmp\\\\")))
        << test::Narrow(path);
    EXPECT_TRUE(test::IsDirectory(path));
    EXPECT_EQ(folders, (std::vector<std::wstring>{parent.Path(), SystemTemp()}));
    // Asked of the held folder, not of a path.
    EXPECT_EQ(asked.size(), 1u);
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_NE(descriptors[0], nullptr);
    EXPECT_TRUE(test::Entries(parent.Path()).empty());
    EXPECT_TRUE(test::Entries(elsewhere.Path()).empty());
    CloseHandle(held.handle);
    held.handle = INVALID_HANDLE_VALUE;
    RemoveDirectoryW(path.c_str());
}

TEST_F(WorkDirectoryTest, WithoutTheSystemsTempANoAclVolumeGetsNoDirectory) {
    auto flags = VolumeFlags(FILE_CASE_PRESERVED_NAMES);
    struct Case {
        const char* name;
        UINT length;  // what GetSystemWindowsDirectoryW says; 0: it fails
    };
    for (const Case& c : {Case{"no Windows folder", 0}, Case{"a Windows folder too long", MAX_PATH}}) {
        SCOPED_TRACE(c.name);
        auto windows = SEAM(GetSystemWindowsDirectoryW)::Replace([&](LPWSTR buffer, UINT size) -> UINT {
            if (c.length == 0) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            std::fill(buffer, buffer + size - 1, L'w');
            buffer[size - 1] = 0;
            return c.length + 1;
        });
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        PathBuffer directory;
        Hold hold;
        EXPECT_FALSE(MakeWorkDirectory(parent.Path().c_str(), directory, hold.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_FAILED, 0}));
        EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations);
        EXPECT_TRUE(test::Entries(parent.Path()).empty());
    }
}

TEST_F(WorkDirectoryTest, VolumeThatCannotBeAskedKeepsTheDirectoryBesideTheInstallerWithTheDescriptor) {
    // Not knowing whether the volume keeps ACLs is no reason to go without
    // one: a volume that keeps none ignores the descriptor.
    auto information = SEAM(GetVolumeInformationByHandleW)::Replace(
        [](HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD flags, LPWSTR, DWORD) -> BOOL {
            *flags = 0;  // what a failed call leaves there means nothing
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
    std::vector<PSECURITY_DESCRIPTOR> descriptors;
    auto creation = RecordDescriptors(descriptors);
    EXPECT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(outcome, (RunOutcome{EXIT_OK, 0}));
    EXPECT_EQ(std::wstring(workDirectory.Text()).substr(0, parent.Path().size()), parent.Path());
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_NE(descriptors[0], nullptr);

    // And a descriptor that cannot be built then is the failure it is.
    auto token = SEAM(OpenProcessToken)::Replace([](HANDLE, DWORD, PHANDLE) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    });
    test::ScratchDirectory other;
    PathBuffer refused;
    Hold none;
    EXPECT_FALSE(MakeWorkDirectory(other.Path().c_str(), refused, none.handle, outcome));
    EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_ACL_FAILED, ERROR_ACCESS_DENIED}));
    EXPECT_TRUE(test::Entries(other.Path()).empty());
}

// Another program may hold the installer's folder open for deletion, sharing
// everything, as it may to rename something inside: the run still makes its
// directory there.
TEST_F(WorkDirectoryTest, AFolderHeldOpenForDeletionByAnotherStillGetsItsDirectory) {
    HANDLE other = CreateFileW(parent.Path().c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
    const bool made = MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome);
    CloseHandle(other);
    EXPECT_TRUE(made);
    EXPECT_EQ(outcome, (RunOutcome{EXIT_OK, 0}));
    EXPECT_TRUE(test::IsDirectory(workDirectory.Text()));
}

// --- The hold: from creation to the end of the run, nobody else can rename,
// --- delete or replace the directory. It is made and opened in one call.

std::wstring WithoutSeparator(const wchar_t* directory) {
    std::wstring path = directory;
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

TEST_F(WorkDirectoryTest, HeldDirectoryRefusesRenameAndDeletionButNotWorkInside) {
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    const std::wstring directory = WithoutSeparator(workDirectory.Text());
    const std::wstring moved = directory + L"-moved";

    EXPECT_FALSE(MoveFileExW(directory.c_str(), moved.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    HANDLE deleter = CreateFileW(directory.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
    EXPECT_EQ(deleter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (deleter != INVALID_HANDLE_VALUE) CloseHandle(deleter);

    // Everything else goes on as before: files inside are written, read,
    // renamed and removed, the directory is listed, and a setup program may
    // make it its current directory (which opens it without delete sharing).
    const std::wstring setup = workDirectory.Text() + std::wstring(L"setup.exe");
    const std::wstring renamed = workDirectory.Text() + std::wstring(L"setup.tmp");
    test::WriteBytes(setup, "program");
    EXPECT_EQ(test::ReadBytes(setup), "program");
    EXPECT_TRUE(MoveFileExW(setup.c_str(), renamed.c_str(), 0)) << GetLastError();
    EXPECT_TRUE(MoveFileExW(renamed.c_str(), setup.c_str(), 0)) << GetLastError();
    EXPECT_EQ(test::Entries(directory), std::vector<std::wstring>{L"setup.exe"});
    wchar_t before[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, before);
    EXPECT_TRUE(SetCurrentDirectoryW(directory.c_str())) << GetLastError();
    SetCurrentDirectoryW(before);
    EXPECT_TRUE(RemoveWithRetries(setup.c_str()));
    EXPECT_FALSE(test::Exists(setup));

    // Let go of, it is an ordinary directory again.
    CloseHandle(held.handle);
    held.handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(MoveFileExW(directory.c_str(), moved.c_str(), 0)) << GetLastError();
}

TEST_F(WorkDirectoryTest, OneCallCreatesTheDirectoryAndHoldsIt) {
    // Recorded as the removal tests record their opens: the one create, and
    // what it asks for. Wine does not check a folder's sharing when a file
    // inside it is renamed, so the sharing that lets the setup program
    // rename inside is pinned here.
    struct Seen {
        HANDLE rootHandle;
        std::pair<DWORD, uint64_t> root;
        std::wstring name;
        ULONG objectAttributes;
        ACCESS_MASK access;
        ULONG share;
        ULONG disposition;
        ULONG options;
        HANDLE created;
    };
    std::vector<Seen> seen;
    std::vector<HANDLE> closed;
    auto close = SEAM(CloseHandle)::Replace([&](HANDLE handle) -> BOOL {
        closed.push_back(handle);
        return SEAM(CloseHandle)::Real(handle);
    });
    auto creation = WatchNativeCreates([&](const NativeCreateCall& call) {
        closed.clear();  // a handle closed before may have had the same value
        seen.push_back({call.attributes.RootDirectory, Identity(call.attributes.RootDirectory),
                        ObjectName(call.attributes), call.attributes.Attributes, call.access, call.share,
                        call.disposition, call.options, call.created});
    });
    auto random = SequentialRandomBytes();
    const unsigned long opens = SEAM_CALLS(CreateFileW);
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));

    ASSERT_EQ(seen.size(), 1u);
    // Relative to a handle of the folder it goes into, by its name alone.
    EXPECT_EQ(seen[0].root, IdentityOf(parent.Path()));
    EXPECT_EQ(seen[0].name, L"QX_00000.tmp");
    EXPECT_EQ(seen[0].objectAttributes, static_cast<ULONG>(OBJ_CASE_INSENSITIVE));
    EXPECT_EQ(seen[0].access, static_cast<ACCESS_MASK>(FILE_TRAVERSE | FILE_READ_ATTRIBUTES));
    EXPECT_EQ(seen[0].share, static_cast<ULONG>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(seen[0].disposition, static_cast<ULONG>(FILE_CREATE));
    EXPECT_EQ(seen[0].options, static_cast<ULONG>(FILE_DIRECTORY_FILE));
    // The handle that holds it is the one its creation gave, and the folder
    // is opened once and let go of.
    EXPECT_EQ(held.handle, seen[0].created);
    EXPECT_EQ(Identity(held.handle), IdentityOf(workDirectory.Text()));
    EXPECT_EQ(SEAM_CALLS(CreateFileW) - opens, 1u);
    EXPECT_EQ(closed, std::vector<HANDLE>{seen[0].rootHandle});
}

TEST_F(WorkDirectoryTest, AnIntruderAtTheCreationCannotSwapTheDirectory) {
    // Someone who may delete entries of the folder (a process of the same
    // user beside a download) watches for the new name and tries to rename
    // the directory away and put one of its own at the name: the instant
    // the create returns, and again after each close and before each open
    // the stub makes until it has its directory. The stub must go on with
    // the directory it made.
    std::wstring made;
    std::wstring intruders;
    std::vector<DWORD> refusals;
    auto intrude = [&] {
        if (made.empty() || !intruders.empty()) return;
        if (MoveFileExW(made.c_str(), (made + L"-away").c_str(), 0)) {
            CreateDirectoryW(made.c_str(), nullptr);
            test::WriteBytes(made + L"\\intruder.txt", "mine");
            intruders = made;
        } else {
            refusals.push_back(GetLastError());
        }
    };
    auto creation = WatchNativeCreates([&](const NativeCreateCall& call) {
        made = parent / ObjectName(call.attributes);
        intrude();
    });
    auto close = SEAM(CloseHandle)::Replace([&](HANDLE handle) -> BOOL {
        const BOOL closed = SEAM(CloseHandle)::Real(handle);
        intrude();
        return closed;
    });
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        intrude();
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    EXPECT_TRUE(intruders.empty()) << "the intruder swapped in " << test::Narrow(intruders);
    ASSERT_FALSE(refusals.empty());
    EXPECT_EQ(refusals, std::vector<DWORD>(refusals.size(), ERROR_SHARING_VIOLATION));
    // What the stub holds is what stands at the name it goes on to use.
    EXPECT_EQ(Identity(held.handle), IdentityOf(workDirectory.Text()));
    EXPECT_TRUE(test::Entries(workDirectory.Text()).empty());
}

TEST_F(WorkDirectoryTest, ARefusedCreationDrawsAnotherNameAndLeavesNothingToRemove) {
    // A create that fails makes nothing, whatever the reason: another name
    // is drawn, and nothing is removed by name (which could take what
    // someone else put there).
    struct Case {
        const char* name;
        int refusals;
        NTSTATUS status;
        RunOutcome expected;
    };
    constexpr NTSTATUS NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
    constexpr NTSTATUS ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
    constexpr NTSTATUS DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056);
    for (const Case& c : {Case{"name taken", 1, NAME_COLLISION, {EXIT_OK, 0}},
                          Case{"refused", 1, ACCESS_DENIED, {EXIT_OK, 0}},
                          // Another stub's directory of that name, being removed.
                          Case{"delete pending", 3, DELETE_PENDING, {EXIT_OK, 0}},
                          Case{"every name refused", 10, ACCESS_DENIED, {EXIT_WORK_DIR_FAILED, 0}}}) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        auto creation = SEAM(NtCreateFile)::Replace([&](PHANDLE handle, ACCESS_MASK access,
                                                        POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK status,
                                                        PLARGE_INTEGER size, ULONG fileAttributes, ULONG share,
                                                        ULONG disposition, ULONG options, PVOID ea,
                                                        ULONG eaLength) -> NTSTATUS {
            if (calls++ < c.refusals) return c.status;
            return SEAM(NtCreateFile)::Real(handle, access, attributes, status, size, fileAttributes, share,
                                            disposition, options, ea, eaLength);
        });
        int deletes = 0;
        auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                                   DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
            deletes += (access & DELETE) != 0;
            return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
        });
        auto random = SequentialRandomBytes();
        test::ScratchDirectory folder;
        PathBuffer directory;
        Hold hold;
        EXPECT_EQ(MakeWorkDirectory(folder.Path().c_str(), directory, hold.handle, outcome),
                  c.expected.exitCode == EXIT_OK);
        EXPECT_EQ(outcome, c.expected);
        EXPECT_EQ(deletes, 0);
        if (c.expected.exitCode == EXIT_OK) {
            EXPECT_EQ(calls, c.refusals + 1);
            const std::wstring name = L"QX_0000" + std::to_wstring(c.refusals) + L".tmp";
            EXPECT_EQ(std::wstring(directory.Text()), folder / (name + L"\\"));
            EXPECT_NE(hold.handle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{name});
        } else {
            EXPECT_EQ(calls, 10);
            EXPECT_EQ(hold.handle, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(test::Entries(folder.Path()).empty());
        }
    }
}

TEST_F(WorkDirectoryTest, WithoutTheFolderOrTheNativeCreateNothingIsMade) {
    struct Case {
        const char* name;
        bool folderOpens;
        bool createFound;
    };
    for (const Case& c : {Case{"folder cannot be opened", false, true}, Case{"no native create", true, false}}) {
        SCOPED_TRACE(c.name);
        auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                                   DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
            if (!c.folderOpens) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
        });
        auto lookup = SEAM(GetProcAddress)::Replace([&](HMODULE module, LPCSTR name) -> FARPROC {
            if (!c.createFound) {
                SetLastError(ERROR_PROC_NOT_FOUND);
                return nullptr;
            }
            return SEAM(GetProcAddress)::Real(module, name);
        });
        const unsigned long creations = SEAM_CALLS(NtCreateFile);
        test::ScratchDirectory folder;
        PathBuffer directory;
        Hold hold;
        EXPECT_FALSE(MakeWorkDirectory(folder.Path().c_str(), directory, hold.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_FAILED, 0}));
        EXPECT_EQ(hold.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(SEAM_CALLS(NtCreateFile), creations);
        EXPECT_TRUE(test::Entries(folder.Path()).empty());
    }
}

// ntdll is in every process before anything else: it is taken from there,
// and nothing is looked for or loaded.
TEST_F(WorkDirectoryTest, TakesTheNativeCreateFromTheNtdllAlreadyLoaded) {
    std::vector<std::wstring> asked;
    auto handle = SEAM(GetModuleHandleW)::Replace([&](LPCWSTR name) -> HMODULE {
        asked.push_back(name != nullptr ? name : L"(null)");
        return SEAM(GetModuleHandleW)::Real(name);
    });
    const unsigned long loads = SEAM_CALLS(LoadLibraryExW);
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    EXPECT_EQ(asked, std::vector<std::wstring>{L"ntdll.dll"});
    EXPECT_EQ(SEAM_CALLS(LoadLibraryExW), loads);
}

// --- The descriptor: Wine keeps no DACLs, so the descriptor is checked where
// --- it reaches the create.

struct Ace {
    std::string type;
    std::set<std::string> flags;
    std::string rights;
    std::string trustee;
};

std::vector<Ace> ParseAces(const std::string& sddl, std::string& daclFlags) {
    std::vector<Ace> aces;
    const size_t start = sddl.find("D:");
    const size_t open = sddl.find('(', start);
    daclFlags = sddl.substr(start + 2, open - start - 2);
    for (size_t at = open; at != std::string::npos && sddl[at] == '('; at = sddl.find('(', at + 1)) {
        const std::string body = sddl.substr(at + 1, sddl.find(')', at) - at - 1);
        std::vector<std::string> parts;
        size_t from = 0;
        for (size_t semi; (semi = body.find(';', from)) != std::string::npos; from = semi + 1) {
            parts.push_back(body.substr(from, semi - from));
        }
        parts.push_back(body.substr(from));
        Ace ace{parts[0], {}, parts[2], parts[5]};
        for (size_t i = 0; i + 1 < parts[1].size(); i += 2) ace.flags.insert(parts[1].substr(i, 2));
        aces.push_back(ace);
    }
    return aces;
}

std::string OwnerSidText() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    DWORD needed = 0;
    GetTokenInformation(token, TokenOwner, nullptr, 0, &needed);
    std::vector<uint8_t> block(needed);
    GetTokenInformation(token, TokenOwner, block.data(), needed, &needed);
    CloseHandle(token);
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(block.data())->Owner, &text);
    const std::string result = test::Narrow(text);
    LocalFree(text);
    return result;
}

TEST_F(WorkDirectoryTest, DescriptorIsProtectedAndGrantsOnlyTheSixEntries) {
    auto flags = VolumeFlags(FILE_PERSISTENT_ACLS);
    std::string sddl;
    auto creation = WatchNativeCreates([&](const NativeCreateCall& call) {
        LPWSTR text = nullptr;
        if (call.attributes.SecurityDescriptor != nullptr &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(call.attributes.SecurityDescriptor, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, nullptr)) {
            sddl = test::Narrow(text);
            LocalFree(text);
        }
    });
    const unsigned long frees = SEAM_CALLS(LocalFree);
    ASSERT_TRUE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
    ASSERT_FALSE(sddl.empty()) << "no descriptor reached the create";

    std::string daclFlags;
    const std::vector<Ace> aces = ParseAces(sddl, daclFlags);
    EXPECT_NE(daclFlags.find('P'), std::string::npos) << sddl;
    EXPECT_NE(daclFlags.find("AI"), std::string::npos) << sddl;
    const std::set<std::string> inherit = {"OI", "IO", "CI"};
    const std::string owner = OwnerSidText();
    const std::vector<Ace> expected = {
        {"A", {}, "FA", "BA"}, {"A", inherit, "GA", "BA"}, {"A", {}, "FA", "SY"},
        {"A", inherit, "GA", "SY"}, {"A", inherit, "GA", "CO"}, {"A", {}, "FA", owner}};
    ASSERT_EQ(aces.size(), expected.size()) << sddl;
    for (size_t i = 0; i < aces.size(); ++i) {
        EXPECT_EQ(aces[i].type, expected[i].type) << "entry " << i << " of " << sddl;
        EXPECT_EQ(aces[i].flags, expected[i].flags) << "entry " << i << " of " << sddl;
        EXPECT_EQ(aces[i].rights, expected[i].rights) << "entry " << i << " of " << sddl;
        EXPECT_EQ(aces[i].trustee, expected[i].trustee) << "entry " << i << " of " << sddl;
    }
    // The SID text, the token information and the descriptor are all released.
    EXPECT_EQ(SEAM_CALLS(LocalFree) - frees, 3u);
}

TEST_F(WorkDirectoryTest, SidTextOf206UnitsFitsAnd207IsRefused) {
    auto flags = VolumeFlags(FILE_PERSISTENT_ACLS);
    for (const size_t length : {size_t{206}, size_t{207}}) {
        const std::wstring sid = L"S-1-5-21-" + std::wstring(length - 9, L'7');
        auto conversion = SEAM(ConvertSidToStringSidW)::Replace([&](PSID, LPWSTR* text) -> BOOL {
            *text = static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, (sid.size() + 1) * sizeof(wchar_t)));
            std::copy(sid.begin(), sid.end(), *text);
            return TRUE;
        });
        // No SID this long exists, so the descriptor is built from a stand-in
        // once the text has been seen.
        std::wstring seen;
        auto descriptor = SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Replace(
            [&](LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* result, PULONG size) -> BOOL {
                seen = text;
                return SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Real(L"D:P(A;;FA;;;SY)", revision,
                                                                                        result, size);
            });
        test::ScratchDirectory folder;
        PathBuffer directory;
        Hold hold;
        const bool made = MakeWorkDirectory(folder.Path().c_str(), directory, hold.handle, outcome);
        if (length == 206) {
            EXPECT_TRUE(made);
            EXPECT_EQ(seen, SDDL_PREFIX + sid + L")");
        } else {
            EXPECT_FALSE(made);
            EXPECT_EQ(outcome.exitCode, EXIT_WORK_DIR_ACL_FAILED);
            EXPECT_NE(outcome.systemError, 0u);
            EXPECT_TRUE(seen.empty());
            EXPECT_TRUE(test::Entries(folder.Path()).empty());
        }
    }
}

TEST_F(WorkDirectoryTest, DescriptorFailuresGive117WithTheirError) {
    auto flags = VolumeFlags(FILE_PERSISTENT_ACLS);
    {
        auto token = SEAM(OpenProcessToken)::Replace([](HANDLE, DWORD, PHANDLE) -> BOOL {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
        EXPECT_FALSE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_ACL_FAILED, ERROR_ACCESS_DENIED}));
    }
    {
        auto memory = SEAM(LocalAlloc)::Replace([](UINT, SIZE_T) -> HLOCAL {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        });
        EXPECT_FALSE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_ACL_FAILED, ERROR_NOT_ENOUGH_MEMORY}));
    }
    {
        auto conversion = SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW)::Replace(
            [](LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) -> BOOL {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            });
        const unsigned long frees = SEAM_CALLS(LocalFree);
        EXPECT_FALSE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_ACL_FAILED, ERROR_INVALID_PARAMETER}));
        EXPECT_EQ(SEAM_CALLS(LocalFree) - frees, 2u) << "token information and SID text must be released";
    }
    {
        // The size query names a size but fails for another reason than the
        // missing buffer: that size is not to be trusted.
        auto information = SEAM(GetTokenInformation)::Replace(
            [](HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID block, DWORD size, PDWORD needed) -> BOOL {
                if (block == nullptr) {
                    *needed = 64;
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
                return SEAM(GetTokenInformation)::Real(token, kind, block, size, needed);
            });
        const unsigned long allocations = SEAM_CALLS(LocalAlloc);
        EXPECT_FALSE(MakeWorkDirectory(parent.Path().c_str(), workDirectory, held.handle, outcome));
        EXPECT_EQ(outcome, (RunOutcome{EXIT_WORK_DIR_ACL_FAILED, ERROR_INVALID_PARAMETER}));
        EXPECT_EQ(SEAM_CALLS(LocalAlloc), allocations);
    }
    EXPECT_TRUE(test::Entries(parent.Path()).empty());
}

TEST_F(WorkDirectoryTest, TheTokenIsClosedAndTheOwnerBlockIsZeroedOnEveryPath) {
    auto flags = VolumeFlags(FILE_PERSISTENT_ACLS);
    HANDLE token = nullptr;
    auto open = SEAM(OpenProcessToken)::Replace([&](HANDLE process, DWORD access, PHANDLE result) -> BOOL {
        EXPECT_EQ(access, static_cast<DWORD>(TOKEN_QUERY));
        const BOOL opened = SEAM(OpenProcessToken)::Real(process, access, result);
        token = *result;
        return opened;
    });
    int tokenCloses = 0;
    auto close = SEAM(CloseHandle)::Replace([&](HANDLE handle) -> BOOL {
        tokenCloses += handle == token;
        return SEAM(CloseHandle)::Real(handle);
    });
    // A later open (the installer's folder) may be given the token's
    // handle value again once the token is closed.
    auto later = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                                DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        token = nullptr;
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    std::vector<UINT> allocations;
    auto allocate = SEAM(LocalAlloc)::Replace([&](UINT kind, SIZE_T bytes) -> HLOCAL {
        allocations.push_back(kind);
        return SEAM(LocalAlloc)::Real(kind, bytes);
    });
    for (const bool sidConverts : {true, false}) {
        SCOPED_TRACE(sidConverts ? "descriptor built" : "SID conversion failed");
        auto conversion = SEAM(ConvertSidToStringSidW)::Replace([&](PSID sid, LPWSTR* text) -> BOOL {
            if (sidConverts) return SEAM(ConvertSidToStringSidW)::Real(sid, text);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        });
        tokenCloses = 0;
        allocations.clear();
        test::ScratchDirectory folder;
        PathBuffer directory;
        Hold hold;
        EXPECT_EQ(MakeWorkDirectory(folder.Path().c_str(), directory, hold.handle, outcome), sidConverts);
        EXPECT_EQ(tokenCloses, 1);
        // Zeroed fixed memory: the record is read only where the system wrote.
        EXPECT_EQ(allocations, std::vector<UINT>{LMEM_ZEROINIT});
    }
}

TEST(BytesToHexUpper, WritesTwoDigitsPerByteOnlyWhenTheyFit) {
    const uint8_t bytes[4] = {0x4F, 0x0A, 0x2B, 0xC3};
    wchar_t output[10];
    std::fill(std::begin(output), std::end(output), L'#');
    EXPECT_FALSE(BytesToHexUpper(bytes, 4, output, 8));
    EXPECT_EQ(output[0], L'#') << "wrote although it did not fit";
    EXPECT_TRUE(BytesToHexUpper(bytes, 4, output, 9));
    EXPECT_EQ(std::wstring(output), L"4F0A2BC3");
    std::fill(std::begin(output), std::end(output), L'#');
    EXPECT_TRUE(BytesToHexUpper(bytes, 0, output, 1));
    EXPECT_EQ(output[0], L'\0');
    EXPECT_EQ(output[1], L'#');
}

// --- Removal ----------------------------------------------------------------------

// Counts the pauses instead of sleeping them, and runs `onPause` at each.
class RemovalTest : public testing::Test {
protected:
    int pauses = 0;
    std::function<void(int)> onPause = [](int) {};
    decltype(SEAM(Sleep)::Replace({})) sleep = SEAM(Sleep)::Replace([this](DWORD milliseconds) {
        EXPECT_EQ(milliseconds, 100u);
        onPause(++pauses);
    });
    test::ScratchDirectory folder;
};

TEST_F(RemovalTest, NothingThereIsSuccessAtOnce) {
    EXPECT_TRUE(RemoveWithRetries((folder / L"missing.exe").c_str()));
    EXPECT_TRUE(RemoveWithRetries((folder / L"missing\\setup.exe").c_str()));
    EXPECT_EQ(pauses, 0);
}

TEST_F(RemovalTest, RemovesFilesAndEmptyDirectoriesWithoutPausing) {
    struct Case {
        const char* name;
        std::function<std::wstring()> make;
    };
    const Case cases[] = {
        {"plain file", [&] { test::WriteBytes(folder / L"plain", "x"); return folder / L"plain"; }},
        {"read-only archive file",
         [&] {
             test::WriteBytes(folder / L"ro", "x");
             SetFileAttributesW((folder / L"ro").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
             return folder / L"ro";
         }},
        {"empty directory", [&] { CreateDirectoryW((folder / L"dir").c_str(), nullptr); return folder / L"dir\\"; }},
    };
    for (const Case& c : cases) {
        const std::wstring path = c.make();
        ASSERT_TRUE(test::Exists(path)) << c.name;
        EXPECT_TRUE(RemoveWithRetries(path.c_str())) << c.name;
        EXPECT_FALSE(test::Exists(path)) << c.name;
    }
    EXPECT_EQ(pauses, 0);
}

TEST_F(RemovalTest, RefusalsThatLastAreKeptAfter99Pauses) {
    // 100 counted attempts, 99 pauses of 100 ms between them (about ten
    // seconds for a scanner to let go), then the object stays.
    CreateDirectoryW((folder / L"full").c_str(), nullptr);
    test::WriteBytes(folder / L"full\\setup.exe", "payload");
    EXPECT_FALSE(RemoveWithRetries((folder / L"full").c_str()));
    EXPECT_EQ(pauses, 99);
    EXPECT_EQ(test::ReadBytes(folder / L"full\\setup.exe"), "payload");

    // Access denied every time, with no read-only bit to clear: as a
    // process not allowed to delete the file meets it.
    pauses = 0;
    const std::wstring path = folder / L"refused.exe";
    test::WriteBytes(path, "x");
    auto refuse = SEAM(SetFileInformationByHandle)::Replace(
        [](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
            if (kind == FileDispositionInfo) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
        });
    EXPECT_FALSE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(pauses, 99);
    EXPECT_TRUE(test::Exists(path));
}

TEST_F(RemovalTest, FileHeldWithoutDeleteSharingGoesOnceTheHolderLetsGo) {
    const std::wstring path = folder / L"held.exe";
    test::WriteBytes(path, "x");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    onPause = [&](int pause) {
        if (pause == 3) CloseHandle(holder);
    };
    EXPECT_TRUE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(pauses, 3);
    EXPECT_FALSE(test::Exists(path));
}

TEST_F(RemovalTest, FileHeldWithDeleteSharingEndsOnceTheHolderLetsGo) {
    // The name stays while the other handle is open. Windows refuses to open
    // it meanwhile; Wine opens it and accepts the disposition again and again,
    // which must still end in counted, paused retries rather than a spin.
    const std::wstring path = folder / L"shared.exe";
    test::WriteBytes(path, "x");
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    onPause = [&](int pause) {
        if (pause == 2) CloseHandle(holder);
    };
    EXPECT_TRUE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(pauses, 2);
    EXPECT_FALSE(test::Exists(path));
}

TEST_F(RemovalTest, InvalidNameFailsAtOnce) {
    EXPECT_FALSE(RemoveWithRetries((folder / L"bad<name>?.exe").c_str()));
    EXPECT_EQ(pauses, 0);
}

TEST_F(RemovalTest, ClearingTheOnlyReadOnlyBitWritesNormal) {
    // Wine always adds the archive bit, so a file whose only attribute is
    // read-only is made through the seam: attributes of 0 would tell the
    // system to leave them unchanged and the file would stay read-only.
    const std::wstring path = folder / L"only-readonly.exe";
    test::WriteBytes(path, "x");
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    auto read = SEAM(GetFileInformationByHandleEx)::Replace(
        [](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
            const BOOL result = SEAM(GetFileInformationByHandleEx)::Real(file, kind, info, size);
            if (result && kind == FileBasicInfo) {
                static_cast<FILE_BASIC_INFO*>(info)->FileAttributes = FILE_ATTRIBUTE_READONLY;
            }
            return result;
        });
    std::vector<DWORD> written;
    auto write = SEAM(SetFileInformationByHandle)::Replace(
        [&](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
            if (kind == FileBasicInfo) written.push_back(static_cast<FILE_BASIC_INFO*>(info)->FileAttributes);
            return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
        });
    EXPECT_TRUE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(written, std::vector<DWORD>{FILE_ATTRIBUTE_NORMAL});
    EXPECT_FALSE(test::Exists(path));
    EXPECT_EQ(pauses, 0);
}

TEST_F(RemovalTest, SuccessThatRemovesNothingCannotLoopForEver) {
    // A system that accepts every disposition but never deletes: the repeats
    // that follow a success are bounded, and then counted like any retry.
    // 100 repeats go by without a pause, then each repeat is an attempt.
    const std::wstring path = folder / L"stubborn.exe";
    test::WriteBytes(path, "x");
    int dispositions = 0;
    int beforeThePauses = 0;
    onPause = [&](int pause) {
        if (pause == 1) beforeThePauses = dispositions;
    };
    auto disposition = SEAM(SetFileInformationByHandle)::Replace(
        [&dispositions](HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) -> BOOL { return ++dispositions != 0; });
    EXPECT_FALSE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(pauses, REMOVE_ATTEMPT_LIMIT - 1);
    EXPECT_EQ(beforeThePauses, 101);
    EXPECT_EQ(dispositions, 200);
    EXPECT_TRUE(test::Exists(path));
}

TEST_F(RemovalTest, ClearedReadOnlyBitThatDoesNotTakeCannotLoopForEver) {
    const std::wstring path = folder / L"stays-readonly.exe";
    test::WriteBytes(path, "x");
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    auto write = SEAM(SetFileInformationByHandle)::Replace(
        [](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
            if (kind == FileBasicInfo) return TRUE;  // reported, not done
            return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
        });
    EXPECT_FALSE(RemoveWithRetries(path.c_str()));
    EXPECT_EQ(pauses, REMOVE_ATTEMPT_LIMIT - 1);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RemovalTest, EveryOpenThatCanDeleteTakesTheLinkItself) {
    // Wine follows Unix symbolic links on delete, so link safety is shown by
    // what the removal asks the system for: every open carries
    // FILE_FLAG_OPEN_REPARSE_POINT (and backup semantics for directories);
    // deletion is only ever a disposition on such a handle, as the stub
    // imports no function that deletes by name.
    std::vector<DWORD> flags;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD disposition, DWORD attributes, HANDLE model) -> HANDLE {
        flags.push_back(attributes);
        // Only the rights each step needs, and every sharing: a scanner or
        // the setup program that holds the object keeps it, and the
        // removal waits for it instead of shutting it out.
        EXPECT_TRUE(access == DELETE || access == (FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES)) << access;
        EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
        return SEAM(CreateFileW)::Real(path, access, share, security, disposition, attributes, model);
    });
    test::WriteBytes(folder / L"file", "x");
    test::WriteBytes(folder / L"readonly", "x");
    SetFileAttributesW((folder / L"readonly").c_str(), FILE_ATTRIBUTE_READONLY);
    CreateDirectoryW((folder / L"dir").c_str(), nullptr);
    for (const wchar_t* name : {L"file", L"readonly", L"dir"}) {
        EXPECT_TRUE(RemoveWithRetries((folder / name).c_str()));
    }
    ASSERT_FALSE(flags.empty());
    for (DWORD f : flags) {
        EXPECT_EQ(f, static_cast<DWORD>(FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS));
    }
}

}  // namespace
