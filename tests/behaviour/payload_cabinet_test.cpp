#include "payload/cabinet_expansion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "seam_hooks.h"
#include "test_support.h"
#include "workarea/removal.h"

namespace {

// The archives and cabinets made by tests/behaviour/layouts/make_test_data.py,
// beside the test program.
std::wstring DataPath(const std::wstring& name) {
    wchar_t path[MAX_PATH + 1] = {};
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return program.substr(0, program.rfind(L'\\') + 1) + L"payload_layouts\\" + name;
}

std::wstring Expanded(const wchar_t* text) {
    wchar_t buffer[MAX_PATH + 1] = {};
    ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
    return buffer;
}

// Every cabinet the generator makes, baddate.cab aside, stores this stamp,
// 2021-06-15 13:45:30, as local time.
const SYSTEMTIME STORED_STAMP = {2021, 6, 0, 15, 13, 45, 30, 0};

constexpr ULONGLONG TICKS_PER_HOUR = 36000000000ULL;

ULONGLONG Ticks(const SYSTEMTIME& time) {
    FILETIME file;
    EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

// Keeps every FILE_BASIC_INFO the product sets, and sets it. Wine keeps no
// creation time, and what it makes of attribute bits beyond the ordinary
// ones is no guide to Windows, so those are checked as the product asks for
// them.
class BasicInfoRecorder {
public:
    BasicInfoRecorder()
        : guard_(SEAM(SetFileInformationByHandle)::Replace(
              [this](HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) -> BOOL {
                  if (kind == FileBasicInfo && size == sizeof(FILE_BASIC_INFO)) {
                      seen.push_back(*static_cast<const FILE_BASIC_INFO*>(info));
                  }
                  return SEAM(SetFileInformationByHandle)::Real(file, kind, info, size);
              })) {}

    std::vector<FILE_BASIC_INFO> seen;

private:
    SEAM(SetFileInformationByHandle)::Guard guard_;
};

class CabinetTest : public testing::Test {
protected:
    // A copy of a generated cabinet in the scratch directory, under `name`.
    std::wstring Cabinet(const std::wstring& source, const std::wstring& name = L"setup.ex_") {
        const std::wstring path = folder / name;
        EXPECT_TRUE(CopyFileW(DataPath(source).c_str(), path.c_str(), FALSE)) << test::Narrow(source);
        return path;
    }

    test::ScratchDirectory folder;
    const std::wstring destination = folder / L"setup.exe";
};

// --- Expansion by the system's cabinet library ---------------------------------

TEST_F(CabinetTest, ExpandsTheFileByteForByte) {
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()));
    const std::string expected = test::ReadBytes(DataPath(L"setup.bin"));
    ASSERT_EQ(expected.size(), 320u * 1024u);
    EXPECT_TRUE(test::ReadBytes(destination) == expected) << "the expanded file differs";
}

TEST_F(CabinetTest, ExpandsFromADirectoryAndNameBeyondAscii) {
    const std::wstring directory = folder / L"d\u00e9j\u00e0 \u4e2d";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const std::wstring cabinet = Cabinet(L"setup.cab", L"d\u00e9j\u00e0 \u4e2d\\s\u00e9tup.ex_");
    ASSERT_TRUE(ExpandCabinet(cabinet.c_str(), destination.c_str()));
    EXPECT_TRUE(test::ReadBytes(destination) == test::ReadBytes(DataPath(L"setup.bin")));
}

TEST_F(CabinetTest, CreationTimeIsTheStoredLocalStampInUtc) {
    // A zone two hours east of UTC, so that a stamp taken as UTC, or
    // converted the wrong way, shows.
    auto zone = SEAM(LocalFileTimeToFileTime)::Replace([](const FILETIME* local, LPFILETIME utc) -> BOOL {
        ULARGE_INTEGER ticks;
        ticks.LowPart = local->dwLowDateTime;
        ticks.HighPart = local->dwHighDateTime;
        ticks.QuadPart -= 2 * TICKS_PER_HOUR;
        utc->dwLowDateTime = ticks.LowPart;
        utc->dwHighDateTime = ticks.HighPart;
        return TRUE;
    });
    BasicInfoRecorder recorder;
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()));
    ASSERT_EQ(recorder.seen.size(), 1u);
    const FILE_BASIC_INFO& info = recorder.seen[0];
    EXPECT_EQ(static_cast<ULONGLONG>(info.CreationTime.QuadPart), Ticks(STORED_STAMP) - 2 * TICKS_PER_HOUR);
    // The other times are left to the system.
    EXPECT_EQ(info.LastAccessTime.QuadPart, 0);
    EXPECT_EQ(info.LastWriteTime.QuadPart, 0);
    EXPECT_EQ(info.ChangeTime.QuadPart, 0);
}

TEST_F(CabinetTest, ImpossibleStoredDateLeavesTheCreationTimeAlone) {
    BasicInfoRecorder recorder;
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"baddate.cab").c_str(), destination.c_str()));
    ASSERT_EQ(recorder.seen.size(), 1u);
    EXPECT_EQ(recorder.seen[0].CreationTime.QuadPart, 0) << "month 13 became a time";
    EXPECT_EQ(test::ReadBytes(destination).size(), 320u * 1024u);
}

struct AttributeCase {
    const char* name;
    const wchar_t* cabinet;
    DWORD requested;  // what the product asks the system for
    DWORD expected;   // what the file then has; 0: what a new file has
};

void PrintTo(const AttributeCase& c, std::ostream* out) { *out << c.name; }

class CabinetAttributeTest : public CabinetTest, public testing::WithParamInterface<AttributeCase> {};

TEST_P(CabinetAttributeTest, AppliesOnlyReadOnlyHiddenSystemAndArchive) {
    const AttributeCase& c = GetParam();
    DWORD expected = c.expected;
    if (expected == 0) {
        test::WriteBytes(folder / L"new", "");
        expected = GetFileAttributesW((folder / L"new").c_str());
    }
    BasicInfoRecorder recorder;
    ASSERT_TRUE(ExpandCabinet(Cabinet(c.cabinet).c_str(), destination.c_str()));
    ASSERT_EQ(recorder.seen.size(), 1u);
    EXPECT_EQ(recorder.seen[0].FileAttributes, c.requested);
    EXPECT_EQ(GetFileAttributesW(destination.c_str()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CabinetAttributeTest,
    testing::Values(AttributeCase{"Archive", L"setup.cab", 0x20, FILE_ATTRIBUTE_ARCHIVE},
                    AttributeCase{"ReadOnlyArchive", L"readonly.cab", 0x21,
                                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
                    // The cabinet's "run after extraction" bit is no file
                    // attribute; 0 asks the system to change nothing.
                    AttributeCase{"ExecuteOnly", L"exec.cab", 0, 0},
                    // Every stored bit: hidden and system go through, the
                    // directory and name-encoding bits do not.
                    AttributeCase{"AllEightBits", L"allbits.cab", 0x27,
                                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE}),
    [](const testing::TestParamInfo<AttributeCase>& info) { return info.param.name; });

TEST_F(CabinetTest, ReadOnlyExpandedFileIsStillRemoved) {
    auto noPause = SEAM(Sleep)::Replace([](DWORD) {});
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"readonly.cab").c_str(), destination.c_str()));
    ASSERT_NE(GetFileAttributesW(destination.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(RemoveWithRetries(destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
}

// Wine's cabinet library goes on after the first file although the close
// notification asked it to stop: it announces the second file, which the
// product skips. The destination must still hold the first file.
TEST_F(CabinetTest, TwoFileCabinetWritesTheFirstFileOnly) {
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"two.cab").c_str(), destination.c_str()));
    EXPECT_TRUE(test::ReadBytes(destination) == test::ReadBytes(DataPath(L"first.bin")))
        << "the destination holds " << test::ReadBytes(destination).size() << " bytes";
    EXPECT_EQ(test::Entries(folder.Path()), (std::vector<std::wstring>{L"setup.ex_", L"setup.exe"}));
}

TEST_F(CabinetTest, CabinetWithoutAFileGivesFalseAndNoDestination) {
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"nofile.cab").c_str(), destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
}

// A flipped byte in the fifth data block: Wine's library writes the blocks
// before it, then still announces the close of the file.
TEST_F(CabinetTest, DamagedDataGivesFalseAndNoPartialFile) {
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"corrupt.cab").c_str(), destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"setup.ex_"});
}

TEST_F(CabinetTest, MissingCabinetGivesFalseAndNoDestination) {
    EXPECT_FALSE(ExpandCabinet((folder / L"missing.ex_").c_str(), destination.c_str()));
    EXPECT_TRUE(test::Entries(folder.Path()).empty());
}

TEST_F(CabinetTest, CabinetPathWithoutABackslashGivesFalse) {
    Cabinet(L"setup.cab");
    EXPECT_FALSE(ExpandCabinet(L"setup.ex_", destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
}

// --- The notification contract, through a stand-in library ---------------------

// What a test's stand-in FDICopy does with the product's callback.
class Notifier {
public:
    Notifier(PFNFDINOTIFY notify, void* user) : notify_(notify), user_(user) {}

    INT_PTR AnnounceFile(const char* name, long size) {
        FDINOTIFICATION notification = {};
        notification.psz1 = const_cast<char*>(name);
        notification.cb = size;
        notification.pv = user_;
        return notify_(fdintCOPY_FILE, &notification);
    }

    INT_PTR AnnounceClose(INT_PTR handle, const char* name) {
        FDINOTIFICATION notification = {};
        notification.psz1 = const_cast<char*>(name);
        notification.hf = handle;
        notification.date = ((2021 - 1980) << 9) | (6 << 5) | 15;
        notification.time = (13 << 11) | (45 << 5) | 15;
        notification.attribs = FILE_ATTRIBUTE_ARCHIVE;
        notification.pv = user_;
        return notify_(fdintCLOSE_FILE_INFO, &notification);
    }

    static void Write(INT_PTR handle, const std::string& bytes) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(reinterpret_cast<HANDLE>(handle), bytes.data(), static_cast<DWORD>(bytes.size()),
                              &written, nullptr));
    }

private:
    PFNFDINOTIFY notify_;
    void* user_;
};

// Hands the product a cabinet library of the test's own through
// GetProcAddress: its FDICopy plays `script` against the product's callback
// instead of reading a cabinet. The real library stays loaded underneath.
class StandInLibrary {
public:
    using Script = std::function<void(Notifier&)>;

    explicit StandInLibrary(Script script, bool createFails = false)
        : guard_(SEAM(GetProcAddress)::Replace([](HMODULE module, LPCSTR name) -> FARPROC {
              if (std::strcmp(name, "FDICreate") == 0) {
                  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Create));
              }
              if (std::strcmp(name, "FDICopy") == 0) {
                  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Copy));
              }
              if (std::strcmp(name, "FDIDestroy") == 0) {
                  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Destroy));
              }
              return SEAM(GetProcAddress)::Real(module, name);
          })) {
        script_ = std::move(script);
        createFails_ = createFails;
        copies = 0;
    }
    ~StandInLibrary() { script_ = nullptr; }

    static inline int copies = 0;

private:
    static HFDI DIAMONDAPI Create(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF) {
        return createFails_ ? nullptr : reinterpret_cast<HFDI>(&script_);
    }
    static BOOL DIAMONDAPI Copy(HFDI, char*, char*, int, PFNFDINOTIFY notify, PFNFDIDECRYPT, void* user) {
        ++copies;
        Notifier notifier(notify, user);
        script_(notifier);
        return TRUE;
    }
    static BOOL DIAMONDAPI Destroy(HFDI) { return TRUE; }

    static inline Script script_;
    static inline bool createFails_ = false;
    SEAM(GetProcAddress)::Guard guard_;
};

struct SizeCase {
    const char* name;
    size_t written;
    bool expected;
};

void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.name; }

class AnnouncedSizeTest : public CabinetTest, public testing::WithParamInterface<SizeCase> {};

// A library may announce the close of a file whose data failed; only a file
// that reached the size announced at its start counts as expanded.
TEST_P(AnnouncedSizeTest, OnlyTheAnnouncedSizeCountsAsExpanded) {
    const SizeCase& c = GetParam();
    const std::string bytes(c.written, 'x');
    INT_PTR closeResult = 0;
    StandInLibrary library([&](Notifier& notifier) {
        const INT_PTR handle = notifier.AnnounceFile("setup.exe", 1000);
        ASSERT_NE(handle, 0);
        ASSERT_NE(handle, -1);
        Notifier::Write(handle, bytes);
        closeResult = notifier.AnnounceClose(handle, "setup.exe");
    });
    EXPECT_EQ(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()), c.expected);
    EXPECT_EQ(closeResult, -1) << "the close must ask the library to stop";
    if (c.expected) {
        EXPECT_EQ(test::ReadBytes(destination), bytes);
    } else {
        EXPECT_FALSE(test::Exists(destination)) << "a partial setup program was left";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AnnouncedSizeTest,
                         testing::Values(SizeCase{"Exact", 1000, true}, SizeCase{"OneShort", 999, false},
                                         SizeCase{"OneOver", 1001, false}, SizeCase{"Nothing", 0, false}),
                         [](const testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

TEST_F(CabinetTest, FilesAfterTheFirstAreSkippedWheneverTheyAreAnnounced) {
    for (bool beforeTheClose : {false, true}) {
        INT_PTR laterResult = -2;
        StandInLibrary library([&](Notifier& notifier) {
            const INT_PTR first = notifier.AnnounceFile("first.bin", 5);
            Notifier::Write(first, "first");
            if (beforeTheClose) {
                laterResult = notifier.AnnounceFile("second.bin", 6);
            }
            notifier.AnnounceClose(first, "first.bin");
            if (!beforeTheClose) {
                laterResult = notifier.AnnounceFile("second.bin", 6);
            }
            if (laterResult != 0 && laterResult != -1) {
                Notifier::Write(laterResult, "second");
                notifier.AnnounceClose(laterResult, "second.bin");
            }
        });
        EXPECT_TRUE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str())) << beforeTheClose;
        EXPECT_EQ(laterResult, 0) << "before the close: " << beforeTheClose;
        EXPECT_EQ(test::ReadBytes(destination), "first") << "before the close: " << beforeTheClose;
    }
}

TEST_F(CabinetTest, DestinationThatCannotBeCreatedAbortsTheCopy) {
    INT_PTR copyResult = 0;
    StandInLibrary library([&](Notifier& notifier) { copyResult = notifier.AnnounceFile("setup.exe", 5); });
    const std::wstring unreachable = folder / L"missing\\setup.exe";
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), unreachable.c_str()));
    EXPECT_EQ(copyResult, -1);
}

TEST_F(CabinetTest, ContextNotCreatedGivesFalseWithoutACopy) {
    StandInLibrary library([](Notifier&) {}, true);
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()));
    EXPECT_EQ(StandInLibrary::copies, 0);
    EXPECT_FALSE(test::Exists(destination));
}

struct NotificationCase {
    const char* name;
    FDINOTIFICATIONTYPE type;
    INT_PTR expected;
};

void PrintTo(const NotificationCase& c, std::ostream* out) { *out << c.name; }

class OtherNotificationTest : public CabinetTest, public testing::WithParamInterface<NotificationCase> {};

// The payload is one cabinet holding one whole file: a continued file or a
// request for the next cabinet stops the copy.
TEST_P(OtherNotificationTest, AnswersWithoutTouchingTheDestination) {
    const NotificationCase& c = GetParam();
    CabinetJob job = {destination.c_str(), {}, false, false, 0};
    FDINOTIFICATION notification = {};
    notification.pv = &job;
    EXPECT_EQ(CabNotify(c.type, &notification), c.expected);
    EXPECT_FALSE(job.destinationOpened);
    EXPECT_FALSE(job.output.IsOpen());
    EXPECT_FALSE(test::Exists(destination));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OtherNotificationTest,
    testing::Values(NotificationCase{"CabinetInfo", fdintCABINET_INFO, 0},
                    NotificationCase{"PartialFile", fdintPARTIAL_FILE, -1},
                    NotificationCase{"NextCabinet", fdintNEXT_CABINET, -1},
                    NotificationCase{"Enumerate", fdintENUMERATE, 0},
                    NotificationCase{"Unknown", static_cast<FDINOTIFICATIONTYPE>(42), -1}),
    [](const testing::TestParamInfo<NotificationCase>& info) { return info.param.name; });

// --- The library's file callbacks ----------------------------------------------

struct OpenCase {
    const char* name;
    int oflag;
    DWORD access;
    DWORD disposition;
};

void PrintTo(const OpenCase& c, std::ostream* out) { *out << c.name; }

class CabOpenTest : public CabinetTest, public testing::WithParamInterface<OpenCase> {};

// The library states what it wants in C run-time open flags; read-write
// wins over write-only, and only creation changes the disposition.
TEST_P(CabOpenTest, OpensAsTheFlagsAskAndNeverSharesWriting) {
    const OpenCase& c = GetParam();
    const std::wstring path = Cabinet(L"setup.cab");
    std::vector<DWORD> share;
    std::vector<DWORD> access;
    std::vector<DWORD> disposition;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR name, DWORD wanted, DWORD shared, LPSECURITY_ATTRIBUTES security,
                                               DWORD how, DWORD attributes, HANDLE model) -> HANDLE {
        access.push_back(wanted);
        share.push_back(shared);
        disposition.push_back(how);
        return SEAM(CreateFileW)::Real(name, wanted, shared, security, how, attributes, model);
    });
    char name[MAX_PATH] = {};
    ASSERT_NE(WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, name, MAX_PATH, nullptr, nullptr), 0);
    const INT_PTR handle = CabOpen(name, c.oflag, 0);
    ASSERT_NE(handle, -1);
    EXPECT_EQ(access, std::vector<DWORD>{c.access});
    EXPECT_EQ(disposition, std::vector<DWORD>{c.disposition});
    // Reading beside the library is fine; writing never.
    EXPECT_EQ(share, std::vector<DWORD>{FILE_SHARE_READ | FILE_SHARE_DELETE});
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "somebody could write the cabinet under the library";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_EQ(CabClose(handle), 0);
    // Creation empties the file; a plain open keeps it.
    EXPECT_EQ(test::ReadBytes(path).empty(), c.disposition == CREATE_ALWAYS);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CabOpenTest,
    testing::Values(OpenCase{"ReadOnly", 0x0, GENERIC_READ, OPEN_EXISTING},
                    OpenCase{"WriteOnly", 0x1, GENERIC_WRITE, OPEN_EXISTING},
                    OpenCase{"ReadWrite", 0x2, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
                    OpenCase{"ReadWriteWinsOverWriteOnly", 0x3, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
                    OpenCase{"CreateWriteOnly", 0x101, GENERIC_WRITE, CREATE_ALWAYS},
                    OpenCase{"CreateReadWrite", 0x102, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS},
                    // Truncate and exclusive change nothing by themselves.
                    OpenCase{"TruncateAndExclusiveAlone", 0x600, GENERIC_READ, OPEN_EXISTING}),
    [](const testing::TestParamInfo<OpenCase>& info) { return info.param.name; });

// --- Loading the library -------------------------------------------------------

// Each test starts with no library recorded, as a fresh process does, and
// leaves the record as it found it. The library itself is never unloaded.
class CabinetLibraryTest : public CabinetTest {
protected:
    CabinetLibraryTest() : saved_(cabinetLibrary) { cabinetLibrary = {}; }
    ~CabinetLibraryTest() override { cabinetLibrary = saved_; }

    // The names the product hands to the loader, and its flags.
    SEAM(LoadLibraryExW)::Guard RecordLoads() {
        return SEAM(LoadLibraryExW)::Replace([this](LPCWSTR name, HANDLE file, DWORD flags) -> HMODULE {
            loads.push_back(name);
            loadFlags.push_back(flags);
            return SEAM(LoadLibraryExW)::Real(name, file, flags);
        });
    }

    std::vector<std::wstring> loads;
    std::vector<DWORD> loadFlags;

private:
    CabinetLibrary saved_;
};

// Sets a variable of the test process for the test's duration.
class EnvironmentOverride {
public:
    EnvironmentOverride(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buffer[MAX_PATH + 1] = {};
        had_ = GetEnvironmentVariableW(name, buffer, MAX_PATH) != 0;
        old_ = buffer;
        SetEnvironmentVariableW(name, value);
    }
    ~EnvironmentOverride() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    bool had_;
    std::wstring old_;
};

bool IsFullPath(const std::wstring& name) {
    return (name.size() > 3 && name[1] == L':' && name[2] == L'\\') || name.rfind(L"\\\\", 0) == 0;
}

TEST_F(CabinetLibraryTest, LoadsTheSystemLibraryByFullPath) {
    auto recording = RecordLoads();
    ASSERT_TRUE(LoadCabinetLibrary());
    EXPECT_EQ(loads, std::vector<std::wstring>{Expanded(L"%WINDIR%\\system32\\cabinet.dll")});
    // The library's own dependencies are looked for beside it, in the system
    // directory, not beside the installer.
    EXPECT_EQ(loadFlags, std::vector<DWORD>{LOAD_WITH_ALTERED_SEARCH_PATH});
    EXPECT_NE(cabinetLibrary.module, nullptr);
    EXPECT_NE(cabinetLibrary.fdiCreate, nullptr);
    EXPECT_NE(cabinetLibrary.fdiCopy, nullptr);
    EXPECT_NE(cabinetLibrary.fdiDestroy, nullptr);
}

// Without WINDIR the first candidate keeps "%WINDIR%" unexpanded: a relative
// name, which the loader would look for beside the installer. Without
// SYSTEMROOT as well, only the fixed third name is left.
TEST_F(CabinetLibraryTest, UndefinedVariablesFallBackWithoutARelativeName) {
    struct Case {
        const char* name;
        bool systemRootToo;
        std::wstring loaded;
    };
    for (const Case& c : {Case{"no WINDIR", false, Expanded(L"%SYSTEMROOT%\\system32\\cabinet.dll")},
                          Case{"no WINDIR, no SYSTEMROOT", true, L"C:\\Windows\\system32\\cabinet.dll"}}) {
        cabinetLibrary = {};
        loads.clear();
        EnvironmentOverride noWindir(L"WINDIR", nullptr);
        EnvironmentOverride noSystemRoot(L"SYSTEMROOT", c.systemRootToo ? nullptr : Expanded(L"%SYSTEMROOT%").c_str());
        auto recording = RecordLoads();
        ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str())) << c.name;
        ASSERT_FALSE(loads.empty()) << c.name;
        for (const std::wstring& name : loads) {
            EXPECT_TRUE(IsFullPath(name)) << test::Narrow(name) << " went to the loader";
        }
        EXPECT_EQ(loads.back(), c.loaded) << c.name;
        EXPECT_TRUE(test::ReadBytes(destination) == test::ReadBytes(DataPath(L"setup.bin"))) << c.name;
    }
}

// A WINDIR that is itself relative is no better.
TEST_F(CabinetLibraryTest, RelativeWindirIsNotLoaded) {
    EnvironmentOverride relativeWindir(L"WINDIR", L"planted");
    auto recording = RecordLoads();
    ASSERT_TRUE(LoadCabinetLibrary());
    for (const std::wstring& name : loads) {
        EXPECT_TRUE(IsFullPath(name)) << test::Narrow(name) << " went to the loader";
    }
}

struct CountCase {
    const char* name;
    DWORD count;
    bool loads;
};

void PrintTo(const CountCase& c, std::ostream* out) { *out << c.name; }

class ExpandedNameCountTest : public CabinetLibraryTest, public testing::WithParamInterface<CountCase> {};

// The count includes the terminator: 260 fills the product's array exactly,
// more means the name was cut. The text itself is the real one either way.
TEST_P(ExpandedNameCountTest, NameOf260UnitsIsTheLongestLoaded) {
    const CountCase& c = GetParam();
    auto count = SEAM(ExpandEnvironmentStringsW)::Replace([&c](LPCWSTR source, LPWSTR target, DWORD size) -> DWORD {
        SEAM(ExpandEnvironmentStringsW)::Real(source, target, size);
        return c.count;
    });
    auto recording = RecordLoads();
    EXPECT_EQ(LoadCabinetLibrary(), c.loads);
    EXPECT_EQ(loads.size(), c.loads ? 1u : 0u);
    EXPECT_EQ(cabinetLibrary.module != nullptr, c.loads);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExpandedNameCountTest,
                         testing::Values(CountCase{"Count260", 260, true}, CountCase{"Count261", 261, false},
                                         CountCase{"Count0", 0, false}),
                         [](const testing::TestParamInfo<CountCase>& info) { return info.param.name; });

class MissingExportTest : public CabinetLibraryTest, public testing::WithParamInterface<const char*> {};

TEST_P(MissingExportTest, GivesFalseAndKeepsTheLibraryLoaded) {
    const std::string missing = GetParam();
    {
        auto withoutExport = SEAM(GetProcAddress)::Replace([&missing](HMODULE module, LPCSTR name) -> FARPROC {
            return missing == name ? nullptr : SEAM(GetProcAddress)::Real(module, name);
        });
        EXPECT_FALSE(LoadCabinetLibrary());
        EXPECT_NE(cabinetLibrary.module, nullptr);
        EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()));
        EXPECT_FALSE(test::Exists(destination));
    }
    // The next use finds the library recorded and only asks for the exports.
    auto recording = RecordLoads();
    EXPECT_TRUE(ExpandCabinet(Cabinet(L"setup.cab").c_str(), destination.c_str()));
    EXPECT_TRUE(loads.empty()) << "the library was loaded again";
}

INSTANTIATE_TEST_SUITE_P(Exports, MissingExportTest, testing::Values("FDICreate", "FDICopy", "FDIDestroy"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
