#include "payload/cabinet_expansion.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <list>
#include <optional>
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
    // A generated cabinet as the expansion gets it: bytes in memory, kept
    // for the test's duration, standing in for the mapped resource.
    EmbeddedResource Cabinet(const std::wstring& source) {
        kept.push_back(test::ReadBytes(DataPath(source)));
        EXPECT_FALSE(kept.back().empty()) << test::Narrow(source);
        return {reinterpret_cast<const uint8_t*>(kept.back().data()), kept.back().size()};
    }

    std::list<std::string> kept;
    test::ScratchDirectory folder;
    const std::wstring destination = folder / L"setup.exe";
};

// --- Expansion by the system's cabinet library ---------------------------------

TEST_F(CabinetTest, ExpandsTheFileByteForByte) {
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
    const std::string expected = test::ReadBytes(DataPath(L"setup.bin"));
    ASSERT_EQ(expected.size(), 320u * 1024u);
    EXPECT_TRUE(test::ReadBytes(destination) == expected) << "the expanded file differs";
    // Nothing is left that could reach the resource once the expansion is over.
    EXPECT_EQ(cabinetLibrary.cabinet.data, nullptr);
    EXPECT_FALSE(cabinetLibrary.cabinet.open);
}

TEST_F(CabinetTest, ExpandsIntoADirectoryBeyondAscii) {
    const std::wstring directory = folder / L"d\u00e9j\u00e0 \u4e2d";
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const std::wstring target = directory + L"\\s\u00e9tup.exe";
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), target.c_str()));
    EXPECT_TRUE(test::ReadBytes(target) == test::ReadBytes(DataPath(L"setup.bin")));
}

// The destination is the only file an expansion creates: the cabinet is read
// where it lies, never written anywhere first.
TEST_F(CabinetTest, CreatesTheDestinationAndNoOtherFile) {
    std::vector<std::wstring> opened;
    auto open = SEAM(CreateFileW)::Replace([&](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                               DWORD how, DWORD attributes, HANDLE model) -> HANDLE {
        opened.push_back(name);
        return SEAM(CreateFileW)::Real(name, access, share, security, how, attributes, model);
    });
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
    EXPECT_EQ(opened, std::vector<std::wstring>{destination});
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"setup.exe"});
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
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
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
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"baddate.cab"), destination.c_str()));
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
    ASSERT_TRUE(ExpandCabinet(Cabinet(c.cabinet), destination.c_str()));
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
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"readonly.cab"), destination.c_str()));
    ASSERT_NE(GetFileAttributesW(destination.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(RemoveWithRetries(destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
}

// Wine's cabinet library goes on after the first file although the close
// notification asked it to stop: it announces the second file, which the
// product skips. The destination must still hold the first file.
TEST_F(CabinetTest, TwoFileCabinetWritesTheFirstFileOnly) {
    ASSERT_TRUE(ExpandCabinet(Cabinet(L"two.cab"), destination.c_str()));
    EXPECT_TRUE(test::ReadBytes(destination) == test::ReadBytes(DataPath(L"first.bin")))
        << "the destination holds " << test::ReadBytes(destination).size() << " bytes";
    EXPECT_EQ(test::Entries(folder.Path()), std::vector<std::wstring>{L"setup.exe"});
}

TEST_F(CabinetTest, CabinetWithoutAFileGivesFalseAndNoDestination) {
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"nofile.cab"), destination.c_str()));
    EXPECT_FALSE(test::Exists(destination));
}

// A flipped byte in the fifth data block, or the resource ending inside the
// last one (the stream then gives the library what is there and no more):
// Wine's library writes the blocks before, then still announces the close of
// the file.
TEST_F(CabinetTest, DamagedOrCutDataGivesFalseAndNoPartialFile) {
    for (const wchar_t* cabinet : {L"corrupt.cab", L"truncated.cab"}) {
        EXPECT_FALSE(ExpandCabinet(Cabinet(cabinet), destination.c_str())) << test::Narrow(cabinet);
        EXPECT_TRUE(test::Entries(folder.Path()).empty()) << test::Narrow(cabinet);
        EXPECT_EQ(cabinetLibrary.cabinet.data, nullptr) << test::Narrow(cabinet);
    }
}

// The library's offsets are signed 32-bit: a resource it could not address
// whole is refused before the library sees a byte of it.
TEST_F(CabinetTest, ResourceOf2GiBIsRefusedUnread) {
    const EmbeddedResource small = Cabinet(L"setup.cab");
    const unsigned long lookups = SEAM_CALLS(GetProcAddress);
    EXPECT_FALSE(ExpandCabinet({small.data, 0x80000000ULL}, destination.c_str()));
    EXPECT_EQ(SEAM_CALLS(GetProcAddress), lookups) << "the library was asked for";
    EXPECT_TRUE(test::Entries(folder.Path()).empty());
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
    // The product's file callbacks, as the library got them.
    struct Callbacks {
        PFNOPEN open;
        PFNREAD read;
        PFNWRITE write;
        PFNCLOSE close;
        PFNSEEK seek;
    };
    static inline Callbacks callbacks = {};

private:
    static HFDI DIAMONDAPI Create(PFNALLOC, PFNFREE, PFNOPEN open, PFNREAD read, PFNWRITE write, PFNCLOSE close,
                                  PFNSEEK seek, int, PERF) {
        callbacks = {open, read, write, close, seek};
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
    EXPECT_EQ(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()), c.expected);
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
        EXPECT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str())) << beforeTheClose;
        EXPECT_EQ(laterResult, 0) << "before the close: " << beforeTheClose;
        EXPECT_EQ(test::ReadBytes(destination), "first") << "before the close: " << beforeTheClose;
    }
}

TEST_F(CabinetTest, DestinationThatCannotBeCreatedAbortsTheCopy) {
    INT_PTR copyResult = 0;
    StandInLibrary library([&](Notifier& notifier) { copyResult = notifier.AnnounceFile("setup.exe", 5); });
    const std::wstring unreachable = folder / L"missing\\setup.exe";
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab"), unreachable.c_str()));
    EXPECT_EQ(copyResult, -1);
}

TEST_F(CabinetTest, ContextNotCreatedGivesFalseWithoutACopy) {
    StandInLibrary library([](Notifier&) {}, true);
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
    EXPECT_EQ(StandInLibrary::copies, 0);
    EXPECT_FALSE(test::Exists(destination));
}

// Wine's library (x64, and ARM64 in emulation) only ever reads, seeks and
// closes the handle its open gave, and only writes the one it got for the
// file. A library that also seeks or closes the destination itself must
// still have each handle reach its own kind: the file through the system,
// the stream never.
TEST_F(CabinetTest, ALibraryThatSeeksAndClosesTheDestinationItselfKeepsFileAndStreamApart) {
    const std::string bytes = test::ReadBytes(DataPath(L"setup.cab"));
    std::string head(8, '\0');
    long seekResult = 0;
    int closeResult = 1;
    StandInLibrary library([&](Notifier& notifier) {
        const auto& own = StandInLibrary::callbacks;
        const INT_PTR cabinet = own.open(const_cast<char*>("cabinet"), 0x8000, 0);
        ASSERT_EQ(cabinet, CABINET_STREAM);
        const INT_PTR file = notifier.AnnounceFile("setup.exe", 5);
        Notifier::Write(file, "first");
        seekResult = own.seek(file, 0, 1);
        // The library's own close of the duplicate, which the product closes
        // at the file's close notification only when the library has not.
        closeResult = own.close(file);
        EXPECT_EQ(own.read(cabinet, head.data(), 8), 8u);
        EXPECT_EQ(own.close(cabinet), 0);
    });
    const unsigned long closes = SEAM_CALLS(CloseHandle);
    EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str())) << "no close of the file was announced";
    EXPECT_EQ(seekResult, 5) << "the file's own position";
    EXPECT_EQ(closeResult, 0);
    EXPECT_EQ(head, bytes.substr(0, 8)) << "the stream lost its place";
    // The duplicate, then the job's own handle: nothing else reached the system.
    EXPECT_EQ(SEAM_CALLS(CloseHandle) - closes, 2u);
    EXPECT_FALSE(test::Exists(destination)) << "an unannounced file was kept";
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

// --- The cabinet stream: the library's file callbacks over the resource ------

// The stream set up as an expansion sets it, over ten bytes of the test's
// own; the library record is put back afterwards.
class CabinetStreamTest : public CabinetTest {
protected:
    CabinetStreamTest() : saved_(cabinetLibrary) {
        cabinetLibrary.cabinet = {reinterpret_cast<const uint8_t*>(BYTES), TEN, 0, false};
    }
    ~CabinetStreamTest() override { cabinetLibrary = saved_; }

    static INT_PTR Open(int oflag = O_BINARY) { return CabOpen(const_cast<char*>("cabinet"), oflag, 0x180); }
    // The next `count` bytes as the library reads them.
    static std::string Read(UINT count) {
        std::string bytes(count, '#');
        const UINT got = CabRead(CABINET_STREAM, bytes.data(), count);
        return got == static_cast<UINT>(-1) ? "(failed)" : bytes.substr(0, got);
    }

    static constexpr char BYTES[] = "0123456789";
    static constexpr uint32_t TEN = 10;
    static constexpr int O_BINARY = 0x8000;

    // None of the stream's operations may reach the system.
    struct SystemCalls {
        unsigned long files = SEAM_CALLS(CreateFileW) + SEAM_CALLS(WriteFile) + SEAM_CALLS(SetFilePointer) +
                              SEAM_CALLS(CloseHandle);
        unsigned long Since() const {
            return SEAM_CALLS(CreateFileW) + SEAM_CALLS(WriteFile) + SEAM_CALLS(SetFilePointer) +
                   SEAM_CALLS(CloseHandle) - files;
        }
    };

private:
    CabinetLibrary saved_;
};

struct StreamOpenCase {
    const char* name;
    int oflag;
    INT_PTR expected;
};

void PrintTo(const StreamOpenCase& c, std::ostream* out) { *out << c.name; }

class StreamOpenTest : public CabinetStreamTest, public testing::WithParamInterface<StreamOpenCase> {};

// The library says in C run-time open flags what it wants: only reading is
// the stream; any flag that would write or create is refused.
TEST_P(StreamOpenTest, OnlyAnOpenForReadingGetsTheStream) {
    const StreamOpenCase& c = GetParam();
    const SystemCalls calls;
    EXPECT_EQ(Open(c.oflag), c.expected);
    EXPECT_EQ(calls.Since(), 0u) << "a file was opened";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamOpenTest,
    testing::Values(StreamOpenCase{"Read", 0x0, CABINET_STREAM},
                    StreamOpenCase{"ReadBinary", 0x8000, CABINET_STREAM},
                    StreamOpenCase{"ReadBinarySequential", 0x8020, CABINET_STREAM},
                    StreamOpenCase{"WriteOnly", 0x8001, -1}, StreamOpenCase{"ReadWrite", 0x8002, -1},
                    StreamOpenCase{"Append", 0x8008, -1}, StreamOpenCase{"Create", 0x8100, -1},
                    StreamOpenCase{"Truncate", 0x8200, -1}, StreamOpenCase{"Exclusive", 0x8400, -1}),
    [](const testing::TestParamInfo<StreamOpenCase>& info) { return info.param.name; });

// One position serves one reader: a second open while the first is in use is
// refused, and an open after the close starts at the beginning again.
TEST_F(CabinetStreamTest, OpensOnceAtATimeFromTheStart) {
    ASSERT_EQ(Open(), CABINET_STREAM);
    EXPECT_EQ(Read(4), "0123");
    EXPECT_EQ(Open(), -1);
    EXPECT_EQ(CabClose(CABINET_STREAM), 0);
    EXPECT_EQ(CabClose(CABINET_STREAM), -1) << "closed twice";
    EXPECT_EQ(Read(1), "(failed)") << "read after the close";
    EXPECT_EQ(CabSeek(CABINET_STREAM, 0, 0), -1) << "seek after the close";
    ASSERT_EQ(Open(), CABINET_STREAM);
    EXPECT_EQ(Read(4), "0123");
}

TEST_F(CabinetStreamTest, OutsideAnExpansionThereIsNoStream) {
    cabinetLibrary.cabinet = {};
    const SystemCalls calls;
    EXPECT_EQ(Open(), -1);
    EXPECT_EQ(Read(1), "(failed)");
    EXPECT_EQ(CabSeek(CABINET_STREAM, 0, 0), -1);
    EXPECT_EQ(CabClose(CABINET_STREAM), -1);
    EXPECT_EQ(calls.Since(), 0u) << "the stream's handle value reached the system";
}

TEST_F(CabinetStreamTest, IsNeverWrittenAndNeverReachesTheSystem) {
    ASSERT_EQ(Open(), CABINET_STREAM);
    const SystemCalls calls;
    char bytes[] = "XXXX";
    EXPECT_EQ(CabWrite(CABINET_STREAM, bytes, 4), static_cast<UINT>(-1));
    EXPECT_EQ(Read(TEN), BYTES);
    EXPECT_EQ(CabSeek(CABINET_STREAM, 2, 0), 2);
    EXPECT_EQ(CabClose(CABINET_STREAM), 0);
    EXPECT_EQ(calls.Since(), 0u);
    EXPECT_STREQ(BYTES, "0123456789");
}

// A file the library was handed is opened for writing only: it is never
// read, and never taken for the stream.
TEST_F(CabinetStreamTest, AFileHandleIsNeverRead) {
    ASSERT_EQ(Open(), CABINET_STREAM);
    OutputFile file;
    ASSERT_TRUE(file.Open(destination.c_str()));
    char bytes[4] = {};
    EXPECT_EQ(CabRead(reinterpret_cast<INT_PTR>(file.Handle()), bytes, 4), static_cast<UINT>(-1));
    EXPECT_EQ(Read(2), "01") << "the stream moved";
}

struct SeekCase {
    const char* name;
    uint32_t from;  // the position before the seek
    long dist;
    int seektype;   // SEEK_SET 0, SEEK_CUR 1, SEEK_END 2
    long expected;  // the new position, or -1 with the position left alone
};

void PrintTo(const SeekCase& c, std::ostream* out) { *out << c.name; }

class StreamSeekTest : public CabinetStreamTest, public testing::WithParamInterface<SeekCase> {};

TEST_P(StreamSeekTest, StaysWithinTheResource) {
    const SeekCase& c = GetParam();
    ASSERT_EQ(Open(), CABINET_STREAM);
    ASSERT_EQ(CabSeek(CABINET_STREAM, static_cast<long>(c.from), 0), static_cast<long>(c.from));
    EXPECT_EQ(CabSeek(CABINET_STREAM, c.dist, c.seektype), c.expected);
    const uint32_t now = c.expected == -1 ? c.from : static_cast<uint32_t>(c.expected);
    EXPECT_EQ(Read(TEN), std::string(BYTES + now)) << "the position after the seek";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamSeekTest,
    testing::Values(SeekCase{"SetStart", 4, 0, 0, 0}, SeekCase{"SetEnd", 4, 10, 0, 10},
                    SeekCase{"SetPastTheEnd", 4, 11, 0, -1}, SeekCase{"SetBeforeTheStart", 4, -1, 0, -1},
                    SeekCase{"CurrentForward", 4, 3, 1, 7}, SeekCase{"CurrentBackToTheStart", 4, -4, 1, 0},
                    SeekCase{"CurrentBeforeTheStart", 4, -5, 1, -1}, SeekCase{"CurrentPastTheEnd", 4, 7, 1, -1},
                    SeekCase{"CurrentFarBefore", 4, LONG_MIN, 1, -1}, SeekCase{"CurrentFarPast", 4, LONG_MAX, 1, -1},
                    SeekCase{"EndItself", 4, 0, 2, 10}, SeekCase{"EndBackToTheStart", 4, -10, 2, 0},
                    SeekCase{"EndPastItself", 4, 1, 2, -1}, SeekCase{"EndBeforeTheStart", 4, -11, 2, -1},
                    SeekCase{"UnknownOrigin", 4, 0, 3, -1}),
    [](const testing::TestParamInfo<SeekCase>& info) { return info.param.name; });

struct ReadCase {
    const char* name;
    uint32_t from;
    UINT count;
    std::string expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class StreamReadTest : public CabinetStreamTest, public testing::WithParamInterface<ReadCase> {};

// A read gives what is left, never a byte past the resource, and touches
// nothing of the caller's buffer beyond what it gives.
TEST_P(StreamReadTest, GivesAtMostWhatIsLeft) {
    const ReadCase& c = GetParam();
    ASSERT_EQ(Open(), CABINET_STREAM);
    ASSERT_EQ(CabSeek(CABINET_STREAM, static_cast<long>(c.from), 0), static_cast<long>(c.from));
    std::string buffer(c.count + 4, '#');
    const UINT got = CabRead(CABINET_STREAM, buffer.data(), c.count);
    ASSERT_EQ(got, c.expected.size());
    EXPECT_EQ(buffer, c.expected + std::string(c.count + 4 - got, '#'));
    EXPECT_EQ(CabSeek(CABINET_STREAM, 0, 1), static_cast<long>(c.from + got)) << "the position after the read";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamReadTest,
    testing::Values(ReadCase{"FromTheStart", 0, 4, "0123"}, ReadCase{"UpToTheEnd", 6, 4, "6789"},
                    ReadCase{"PastTheEnd", 8, 4, "89"}, ReadCase{"AtTheEnd", 10, 4, ""},
                    ReadCase{"Nothing", 3, 0, ""}, ReadCase{"MoreThanAll", 0, 100, "0123456789"}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

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

// The system's own library folder, as the system knows it.
std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\";
}

bool IsIn(const std::wstring& folder, const std::wstring& path) {
    return path.size() > folder.size() && CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()),
                                                               folder.c_str(), static_cast<int>(folder.size()),
                                                               TRUE) == CSTR_EQUAL;
}

// An elevated run takes its environment from the user who asked for it, and
// the user's own variables override WINDIR and SYSTEMROOT: neither may name
// the folder the library comes from, whatever they hold. The name goes to
// the loader bare, with the search of the system folder alone, which takes
// the library's own dependencies from there too.
TEST_F(CabinetLibraryTest, LoadsTheSystemLibraryFromTheSystemFolderWhateverTheEnvironmentSays) {
    test::ScratchDirectory planted;
    CreateDirectoryW((planted / L"system32").c_str(), nullptr);
    test::WriteBytes(planted / L"system32\\cabinet.dll", "not a library");
    const std::wstring folder = planted.Path().substr(0, planted.Path().size() - 1);
    struct Case {
        const char* name;
        const wchar_t* windir;  // null: unset
        const wchar_t* systemRoot;
    };
    for (const Case& c : {Case{"as the system set them", L"", L""}, Case{"unset", nullptr, nullptr},
                          Case{"relative", L"planted", L"planted"},
                          Case{"naming a folder with a planted system32", folder.c_str(), folder.c_str()}}) {
        SCOPED_TRACE(c.name);
        cabinetLibrary = {};
        loads.clear();
        loadFlags.clear();
        std::optional<EnvironmentOverride> windir;
        std::optional<EnvironmentOverride> systemRoot;
        if (c.windir == nullptr || *c.windir != 0) windir.emplace(L"WINDIR", c.windir);
        if (c.systemRoot == nullptr || *c.systemRoot != 0) systemRoot.emplace(L"SYSTEMROOT", c.systemRoot);
        auto recording = RecordLoads();
        ASSERT_TRUE(LoadCabinetLibrary());
        EXPECT_EQ(loads, std::vector<std::wstring>{L"cabinet.dll"});
        EXPECT_EQ(loadFlags, std::vector<DWORD>{LOAD_LIBRARY_SEARCH_SYSTEM32});
        wchar_t loaded[MAX_PATH + 1] = {};
        GetModuleFileNameW(cabinetLibrary.module, loaded, MAX_PATH);
        EXPECT_TRUE(IsIn(SystemFolder(), loaded)) << test::Narrow(loaded);
        EXPECT_NE(cabinetLibrary.fdiCreate, nullptr);
        EXPECT_NE(cabinetLibrary.fdiCopy, nullptr);
        EXPECT_NE(cabinetLibrary.fdiDestroy, nullptr);
    }
}

class MissingExportTest : public CabinetLibraryTest, public testing::WithParamInterface<const char*> {};

TEST_P(MissingExportTest, GivesFalseAndKeepsTheLibraryLoaded) {
    const std::string missing = GetParam();
    {
        auto withoutExport = SEAM(GetProcAddress)::Replace([&missing](HMODULE module, LPCSTR name) -> FARPROC {
            return missing == name ? nullptr : SEAM(GetProcAddress)::Real(module, name);
        });
        EXPECT_FALSE(LoadCabinetLibrary());
        EXPECT_NE(cabinetLibrary.module, nullptr);
        EXPECT_FALSE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
        EXPECT_FALSE(test::Exists(destination));
    }
    // The next use finds the library recorded and only asks for the exports.
    auto recording = RecordLoads();
    EXPECT_TRUE(ExpandCabinet(Cabinet(L"setup.cab"), destination.c_str()));
    EXPECT_TRUE(loads.empty()) << "the library was loaded again";
}

INSTANTIATE_TEST_SUITE_P(Exports, MissingExportTest, testing::Values("FDICreate", "FDICopy", "FDIDestroy"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
