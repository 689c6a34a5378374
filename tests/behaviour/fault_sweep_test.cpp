// A whole run of the stub with each Windows call it makes failing in turn.
// A run without a fault, over a payload whose setup program really runs (it
// exits with 7), records the calls in order and the stage each belongs to.
// Then every call that succeeded there and can fail at all is made to fail,
// alone, with a realistic error, in a run of its own. What that run reports,
// and what it leaves on disk when the unpacking ends and when the run ends,
// is judged by the stage and the function that failed, as the exit-code
// table and the removal promises say, never by what came out.
//
// The runs with a fault happen in child processes of this test program (see
// "Points in child processes"). FAULT_SWEEP_VERBOSE=1 in the environment
// lists every point with what its run gave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "entry/run_stub.h"
#include "payload/cabinet_expansion.h"
#include "platform_starts.h"
#include "seam_hooks.h"
#include "test_support.h"

namespace {

using test::LayoutDirectory;
using test::LayoutModule;

// --- How each imported function fails ------------------------------------------

enum class Report {
    Never,      // cannot fail: no injection point
    Value,      // returns `value` and sets the last error
    ErrorCode,  // returns the error itself (the registry functions; the native create its status)
    Argument,   // returns its first argument and sets the last error (LocalFree)
};

struct FaultRule {
    const char* function;
    Report report;
    intptr_t value;
    // A failing release still releases: such a call fails only for a handle
    // that is already gone, so failing it without closing would leave the run
    // with an open handle that no real failure leaves.
    bool releases;
    // One injection point per error.
    std::vector<DWORD> errors;
};

constexpr intptr_t FAILED = 0;
constexpr intptr_t ALL_ONES = -1;  // INVALID_HANDLE_VALUE, and as a DWORD WAIT_FAILED and friends
// How a seek of the cabinet is moved out of the resource's bounds.
constexpr DWORD SEEK_PAST_THE_END = 1;
constexpr DWORD SEEK_BEFORE_THE_START = 2;

const std::vector<FaultRule>& Rules() {
    static const std::vector<FaultRule> rules = {
        // settings
        {"RegOpenKeyExW", Report::ErrorCode, 0, false, {ERROR_ACCESS_DENIED}},
        {"RegQueryValueExW", Report::ErrorCode, 0, false, {ERROR_ACCESS_DENIED}},
        {"RegCloseKey", Report::ErrorCode, 0, true, {ERROR_INVALID_HANDLE}},
        {"CommandLineToArgvW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetCommandLineW", Report::Never, 0, false, {}},
        {"lstrcmpiW", Report::Never, 0, false, {}},
        // scratch directory
        {"GetModuleFileNameW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetFinalPathNameByHandleW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetFullPathNameW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetVolumeInformationByHandleW", Report::Value, FAILED, false, {ERROR_NOT_READY}},
        {"GetSystemWindowsDirectoryW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"OpenProcessToken", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"GetTokenInformation", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"ConvertSidToStringSidW", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"ConvertStringSecurityDescriptorToSecurityDescriptorW", Report::Value, FAILED, false,
         {ERROR_NOT_ENOUGH_MEMORY}},
        {"SystemFunction036", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        // STATUS_ACCESS_DENIED and STATUS_OBJECT_NAME_COLLISION
        {"NtCreateFile", Report::ErrorCode, 0, false, {0xC0000022, 0xC0000035}},
        {"LocalAlloc", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"LocalFree", Report::Argument, 0, true, {ERROR_INVALID_HANDLE}},
        {"GetCurrentProcess", Report::Never, 0, false, {}},
        // resources
        {"EnumResourceNamesW", Report::Value, FAILED, false, {ERROR_RESOURCE_DATA_NOT_FOUND}},
        {"FindResourceW", Report::Value, FAILED, false, {ERROR_RESOURCE_NAME_NOT_FOUND}},
        {"SizeofResource", Report::Value, FAILED, false, {ERROR_RESOURCE_DATA_NOT_FOUND}},
        {"LoadResource", Report::Value, FAILED, false, {ERROR_RESOURCE_DATA_NOT_FOUND}},
        {"LockResource", Report::Value, FAILED, false, {ERROR_INVALID_HANDLE}},
        {"lstrcmpW", Report::Never, 0, false, {}},
        // files
        {"CreateFileW", Report::Value, ALL_ONES, false, {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
        {"WriteFile", Report::Value, FAILED, false, {ERROR_DISK_FULL}},
        {"SetFilePointer", Report::Value, ALL_ONES, false, {ERROR_INVALID_PARAMETER}},
        {"FlushFileBuffers", Report::Value, FAILED, false, {ERROR_WRITE_FAULT}},
        {"SetFileInformationByHandle", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"GetFileInformationByHandleEx", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"GetFileAttributesW", Report::Value, ALL_ONES, false, {ERROR_ACCESS_DENIED}},
        {"DosDateTimeToFileTime", Report::Value, FAILED, false, {ERROR_INVALID_PARAMETER}},
        {"LocalFileTimeToFileTime", Report::Value, FAILED, false, {ERROR_INVALID_PARAMETER}},
        {"DuplicateHandle", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"CreateFileMappingW", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"MapViewOfFile", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"UnmapViewOfFile", Report::Value, FAILED, true, {ERROR_INVALID_ADDRESS}},
        // STATUS_NOT_SAME_DEVICE: another file than the running installer;
        // STATUS_CONFLICTING_ADDRESSES and STATUS_INVALID_ADDRESS: no answer
        {"NtAreMappedFilesTheSame", Report::ErrorCode, 0, false, {0xC00000D4, 0xC0000018, 0xC0000141}},
        {"CloseHandle", Report::Value, FAILED, true, {ERROR_INVALID_HANDLE}},
        // cabinet library and its memory
        {"SetDefaultDllDirectories", Report::Value, FAILED, false, {ERROR_INVALID_PARAMETER}},
        {"GetModuleHandleW", Report::Value, FAILED, false, {ERROR_MOD_NOT_FOUND}},
        {"LoadLibraryExW", Report::Value, FAILED, false, {ERROR_MOD_NOT_FOUND}},
        {"GetProcAddress", Report::Value, FAILED, false, {ERROR_PROC_NOT_FOUND}},
        {"GetProcessHeap", Report::Never, 0, false, {}},
        {"HeapAlloc", Report::Value, FAILED, false, {ERROR_NOT_ENOUGH_MEMORY}},
        {"HeapFree", Report::Value, FAILED, true, {ERROR_INVALID_PARAMETER}},
        // The stub's callbacks over the mapped cabinet, as the library calls
        // them (see library::Open and its neighbours): the open, a read and
        // a close that fail, and a seek turned into one past the resource's
        // end or before its start, which the stub must refuse.
        {"CabOpen", Report::Value, ALL_ONES, false, {ERROR_OPEN_FAILED}},
        {"CabRead", Report::Value, ALL_ONES, false, {ERROR_READ_FAULT}},
        {"CabSeek", Report::Value, ALL_ONES, false, {SEEK_PAST_THE_END, SEEK_BEFORE_THE_START}},
        {"CabClose", Report::Value, ALL_ONES, true, {ERROR_INVALID_HANDLE}},
        // trim and launch
        {"SetProcessWorkingSetSize", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"CreateProcessW", Report::Value, FAILED, false,
         {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"WaitForSingleObject", Report::Value, ALL_ONES, false, {ERROR_INVALID_HANDLE}},
        {"GetExitCodeProcess", Report::Value, FAILED, false, {ERROR_ACCESS_DENIED}},
        {"ExitProcess", Report::Never, 0, false, {}},
        // Counted, never slept: a removal that retries would otherwise pause.
        {"Sleep", Report::Never, 0, false, {}},
        {"GetLastError", Report::Never, 0, false, {}},
        {"SetLastError", Report::Never, 0, false, {}},
    };
    return rules;
}

const FaultRule* RuleFor(const char* function) {
    for (const FaultRule& rule : Rules()) {
        if (std::strcmp(rule.function, function) == 0) {
            return &rule;
        }
    }
    return nullptr;
}

// --- Stages --------------------------------------------------------------------

enum class Stage {
    Settings,
    OwnPath,
    OwnFile,  // the hold on the installer's own file
    WorkDirectory,
    ArchiveCatalog,
    SetupCatalog,
    Expansion,       // the stub's own calls while it expands, its notification handler's included
    CabinetLibrary,  // the cabinet library's calls of the stub's callbacks, and what they call
    Trim,
    Launch,
    Removal,
};

const Stage ALL_STAGES[] = {
    Stage::Settings,     Stage::OwnPath,   Stage::OwnFile,        Stage::WorkDirectory, Stage::ArchiveCatalog,
    Stage::SetupCatalog, Stage::Expansion, Stage::CabinetLibrary, Stage::Trim,          Stage::Launch,
    Stage::Removal,
};

const char* StageName(Stage stage) {
    static const char* const names[] = {
        "settings",  "own path",        "own file", "work dir", "archive catalog", "setup catalog",
        "expansion", "cabinet library", "trim",     "launch",   "removal",
    };
    return names[static_cast<int>(stage)];
}

// What the catalog calls while it enumerates and locates the payload; the
// first other call of a cabinet run is the expansion's.
const std::set<std::string> CATALOG_CALLS = {
    "EnumResourceNamesW", "FindResourceW", "SizeofResource", "LoadResource", "LockResource",
    "lstrcmpW",           "lstrcmpiW",     "GetLastError",   "SetLastError",
};

const std::set<std::string> OWN_FILE_CALLS = {
    "GetModuleHandleW", "GetProcAddress",  "CreateFileMappingW",        "MapViewOfFile", "NtAreMappedFilesTheSame",
    "UnmapViewOfFile",  "CloseHandle",     "GetFinalPathNameByHandleW", "GetLastError",  "SetLastError",
    "GetFullPathNameW",
};

// What a call says about where the run is, beyond its function's name.
enum class Detail { None, ArchiveType, OtherType, OpensTheObjectItself };

// The cabinet library's entry points reach the stub through GetProcAddress;
// the sweep hands out these instead, which only note that the library is
// running, so that the calls it makes back into the stub's callbacks are
// told apart from the stub's own. The notification handler is the stub
// deciding, so it counts as the stub's own again.
namespace library {

using CreateFunction = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
using CopyFunction = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using DestroyFunction = BOOL(DIAMONDAPI*)(HFDI);

CreateFunction realCreate = nullptr;
CopyFunction realCopy = nullptr;
DestroyFunction realDestroy = nullptr;
PFNFDINOTIFY stubNotify = nullptr;
int running = 0;

// The stub's own callbacks over the cabinet, which the library gets wrapped
// so that their calls are injection points too (the wrappers follow the
// sweep itself). The memory and write callbacks need no wrapping: the calls
// they make are imported functions, watched as such.
PFNOPEN stubOpen = nullptr;
PFNREAD stubRead = nullptr;
PFNCLOSE stubClose = nullptr;
PFNSEEK stubSeek = nullptr;
FNOPEN(Open);
FNREAD(Read);
FNCLOSE(Close);
FNSEEK(Seek);

HFDI DIAMONDAPI Create(PFNALLOC a, PFNFREE f, PFNOPEN o, PFNREAD r, PFNWRITE w, PFNCLOSE c, PFNSEEK s, int cpu,
                       PERF erf) {
    stubOpen = o;
    stubRead = r;
    stubClose = c;
    stubSeek = s;
    ++running;
    HFDI context = realCreate(a, f, Open, Read, w, Close, Seek, cpu, erf);
    --running;
    return context;
}

INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
    --running;
    const INT_PTR answer = stubNotify(type, notification);
    ++running;
    return answer;
}

BOOL DIAMONDAPI Copy(HFDI context, char* name, char* path, int flags, PFNFDINOTIFY notify, PFNFDIDECRYPT decrypt,
                     void* user) {
    stubNotify = notify;
    ++running;
    const BOOL copied = realCopy(context, name, path, flags, Notify, decrypt, user);
    --running;
    return copied;
}

BOOL DIAMONDAPI Destroy(HFDI context) {
    ++running;
    const BOOL destroyed = realDestroy(context);
    --running;
    return destroyed;
}

FARPROC Watched(const char* name, FARPROC real) {
    if (real == nullptr || IS_INTRESOURCE(name)) {
        return real;
    }
    if (std::strcmp(name, "FDICreate") == 0) {
        realCreate = reinterpret_cast<CreateFunction>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Create));
    }
    if (std::strcmp(name, "FDICopy") == 0) {
        realCopy = reinterpret_cast<CopyFunction>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Copy));
    }
    if (std::strcmp(name, "FDIDestroy") == 0) {
        realDestroy = reinterpret_cast<DestroyFunction>(reinterpret_cast<void*>(real));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Destroy));
    }
    return real;
}

}  // namespace library

// --- The recorder ----------------------------------------------------------------

struct Call {
    std::string function;
    unsigned index;  // from 1, among the calls of this function in one run
    Stage stage;
    bool succeeded;
};

struct InjectionPoint {
    std::string function;
    unsigned index;
    Stage stage;  // in the run without a fault
    DWORD error;
};

class Sweep {
public:
    // Starts a run: stage, counts and sequence from the beginning; the call to
    // fail, if any.
    void Begin(const InjectionPoint* target) {
        target_ = target;
        stage_ = Stage::Settings;
        counts_.clear();
        calls.clear();
        children.clear();
        launchedPrograms.clear();
        faults.clear();
        injected = false;
        library::running = 0;
    }

    // Moves the stage on by what the next call is, and numbers the call.
    Call Enter(const char* function, Detail detail) {
        const std::string name = function;
        Advance(name, detail);
        const Stage stage = stage_ == Stage::Expansion && library::running > 0 ? Stage::CabinetLibrary : stage_;
        return {name, ++counts_[name], stage, true};
    }

    bool Injects(const Call& call) {
        if (target_ == nullptr || call.index != target_->index || call.function != target_->function) {
            return false;
        }
        injected = true;
        calls.push_back({call.function, call.index, call.stage, false});
        return true;
    }

    DWORD Error() const { return target_->error; }

    void Leave(Call call, bool succeeded) {
        call.succeeded = succeeded;
        calls.push_back(call);
    }

    std::vector<Call> calls;
    // Process handles of the setup programs started in this run (duplicates,
    // so that the test can wait for them after the stub closed its own), and
    // the bytes of each program file as it was started.
    std::vector<HANDLE> children;
    std::vector<std::string> launchedPrograms;
    bool injected = false;
    // What the stub's callbacks did that they must never do.
    std::vector<std::string> faults;
    // Called once the unpacking is over, as the trim begins.
    std::function<void()> unpacked;

private:
    void Advance(const std::string& name, Detail detail) {
        switch (stage_) {
        case Stage::Settings:
            if (name == "GetModuleFileNameW") stage_ = Stage::OwnPath;
            return;
        case Stage::OwnPath:
            // The run holds its own file first, if it gets to.
            stage_ = name == "CreateFileW" ? Stage::OwnFile : Stage::WorkDirectory;
            return;
        case Stage::OwnFile:
            // The hold, the comparison of the held file with the running
            // image (which takes ntdll's function), then the held file's path.
            if (OWN_FILE_CALLS.count(name) != 0) return;
            stage_ = Stage::WorkDirectory;
            break;
        default:
            break;
        }
        if (name == "EnumResourceNamesW" && stage_ <= Stage::SetupCatalog) {
            stage_ = detail == Detail::ArchiveType ? Stage::ArchiveCatalog : Stage::SetupCatalog;
        } else if (stage_ == Stage::SetupCatalog && CATALOG_CALLS.count(name) == 0) {
            stage_ = Stage::Expansion;
        } else if (name == "SetProcessWorkingSetSize") {
            stage_ = Stage::Trim;
            if (unpacked) unpacked();
        } else if (name == "CreateProcessW" && stage_ == Stage::Trim) {
            stage_ = Stage::Launch;
        } else if (name == "CreateFileW" && detail == Detail::OpensTheObjectItself &&
                   (stage_ == Stage::Trim || stage_ == Stage::Launch)) {
            stage_ = Stage::Removal;
        }
    }

    const InjectionPoint* target_ = nullptr;
    Stage stage_ = Stage::Settings;
    std::map<std::string, unsigned> counts_;
};

namespace library {

Sweep* sweep = nullptr;

// One call of a callback through the sweep: numbered and staged as an
// imported function is, and failed when it is the injection point.
template <typename R, typename Proceed, typename Fail>
R Through(const char* name, Proceed proceed, Fail fail) {
    const Call call = sweep->Enter(name, Detail::None);
    if (sweep->Injects(call)) {
        return fail();
    }
    const R result = proceed();
    sweep->Leave(call, result != static_cast<R>(-1));
    return result;
}

FNOPEN(Open) {
    return Through<INT_PTR>(
        "CabOpen", [&] { return stubOpen(pszFile, oflag, pmode); }, [] { return static_cast<INT_PTR>(-1); });
}

FNREAD(Read) {
    return Through<UINT>(
        "CabRead", [&] { return stubRead(hf, pv, cb); }, [] { return static_cast<UINT>(-1); });
}

// A close that fails still closed: the library is told of a failure that
// left nothing open.
FNCLOSE(Close) {
    return Through<int>(
        "CabClose", [&] { return stubClose(hf); },
        [&] {
            stubClose(hf);
            return -1;
        });
}

// The seek the library asked for becomes one out of the resource's bounds,
// which the stub must refuse without moving, whatever the library then does
// with the refusal.
FNSEEK(Seek) {
    return Through<long>(
        "CabSeek", [&] { return stubSeek(hf, dist, seektype); },
        [&]() -> long {
            const bool past = sweep->Error() == SEEK_PAST_THE_END;
            const long before = stubSeek(hf, 0, 1);
            const long answer = past ? stubSeek(hf, 1, 2) : stubSeek(hf, -1, 0);
            const long after = stubSeek(hf, 0, 1);
            if (answer != -1 || after != before) {
                sweep->faults.push_back("a seek " + std::string(past ? "past the end" : "before the start") +
                                        " gave " + std::to_string(answer) + " and moved from " +
                                        std::to_string(before) + " to " + std::to_string(after));
            }
            return answer;
        });
}

}  // namespace library

template <typename R>
R FromValue(intptr_t value) {
    if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(value);
    } else {
        return static_cast<R>(value);
    }
}

template <typename R>
bool Succeeded(const FaultRule& rule, R result) {
    switch (rule.report) {
    case Report::Never:
        return true;
    case Report::ErrorCode:
    case Report::Argument:
        return result == FromValue<R>(0);
    case Report::Value:
        break;
    }
    return result != FromValue<R>(rule.value);
}

template <typename R, typename First, typename... Rest>
R FailedResult(const FaultRule& rule, DWORD error, First first, Rest...) {
    if constexpr (std::is_integral_v<R>) {
        if (rule.report == Report::ErrorCode) {
            return static_cast<R>(error);
        }
    }
    SetLastError(error);
    if constexpr (std::is_same_v<R, First>) {
        if (rule.report == Report::Argument) {
            return first;
        }
    }
    return FromValue<R>(rule.value);
}

template <typename R>
R FailedResult(const FaultRule& rule, DWORD error) {
    SetLastError(error);
    return FromValue<R>(rule.value);
}

// Puts every call of one function through the sweep: numbered, staged,
// recorded, and failed when it is the injection point.
template <typename H, typename F>
struct Watch;

template <typename H, typename R, typename... A>
struct Watch<H, R(A...)> {
    // Stands in for the real function where the run must not reach the real
    // one (the module's path, the command line, the pause) or the test must
    // see more (the launch, the cabinet library).
    static inline std::function<R(A...)> instead;
    static inline std::function<Detail(A...)> describe;

    // What the run had installed before the sweep, put back afterwards.
    static inline typename H::Replacement outside;

    static void Install(const char* name, Sweep& sweep, std::vector<std::string>& unruled) {
        outside = H::replacement;
        const FaultRule* rule = RuleFor(name);
        if (rule == nullptr) {
            unruled.push_back(name);
            return;
        }
        H::replacement = [name, rule, &sweep](A... args) -> R {
            const Call call = sweep.Enter(name, describe ? describe(args...) : Detail::None);
            auto proceed = [&]() -> R { return instead ? instead(args...) : H::Real(args...); };
            if constexpr (std::is_void_v<R>) {
                sweep.Leave(call, true);
                proceed();
            } else {
                if (rule->report != Report::Never && sweep.Injects(call)) {
                    if (rule->releases) {
                        proceed();
                    }
                    return FailedResult<R>(*rule, sweep.Error(), args...);
                }
                R result = proceed();
                // The bookkeeping must not change what the product reads next.
                const DWORD error = GetLastError();
                sweep.Leave(call, Succeeded<R>(*rule, result));
                SetLastError(error);
                return result;
            }
        };
    }

    static void Uninstall() {
        H::replacement = std::move(outside);
        instead = nullptr;
        describe = nullptr;
    }
};

#define WATCH(name) Watch<SEAM(name), decltype(::name)>

// --- Expected outcomes -------------------------------------------------------------

constexpr uint32_t PROGRAM_EXIT = 7;  // what the packed setup program exits with
constexpr int64_t ANY_ERROR = -1;
constexpr int64_t INJECTED_ERROR = -2;

enum class Leftover {
    Nothing,
    // The setup program may still run when its wait failed; its removal can
    // then fail, leaving the scratch directory with the whole program in it.
    ScratchDirectoryWithTheProgram,
};

struct Expectation {
    Stage stage;
    std::set<std::string> functions;  // empty: any function of the stage
    DWORD error;                      // 0: any injected error
    uint32_t exitCode;
    int64_t systemError;
    // The cabinet library decides what a failure reported to it means: it
    // may stop (115) or recover and write the whole program, which then runs.
    bool orTheProgramsOwnCode = false;
    Leftover leftover = Leftover::Nothing;
};

// The first entry that matches the failed call says what the run reports.
// Failures the stub deliberately lets pass (registry, volume queries, a name
// drawn again, trim, flush, time stamp, releases, removal that retries) leave
// the setup program's own code.
const std::vector<Expectation>& Expectations() {
    static const std::vector<Expectation> table = {
        {Stage::Settings, {"CommandLineToArgvW"}, 0, EXIT_SETTINGS_FAILED, INJECTED_ERROR},
        {Stage::Settings, {}, 0, PROGRAM_EXIT, 0},
        {Stage::OwnPath, {}, 0, EXIT_PATH_TOO_LONG, 0},
        // An installer file that cannot be held, or not be shown to be the
        // running one, or whose own path the system does not give, ends the
        // run before anything is created. A failed release still released.
        {Stage::OwnFile, {"CreateFileW", "GetFinalPathNameByHandleW"}, 0, EXIT_INSTALLER_FILE_FAILED, INJECTED_ERROR},
        // Where the Win32 rules cannot be asked, the final path keeps its
        // prefix and the run goes on by it.
        {Stage::OwnFile, {"UnmapViewOfFile", "CloseHandle", "GetFullPathNameW"}, 0, PROGRAM_EXIT, 0},
        {Stage::OwnFile, {}, 0, EXIT_INSTALLER_FILE_FAILED, 0},
        // Without the folder to create in, or the create itself, no
        // directory. A failed create made nothing and draws another name; a
        // volume that cannot be asked keeps the directory beside the
        // installer, with its descriptor.
        {Stage::WorkDirectory, {"CreateFileW", "GetModuleHandleW", "GetProcAddress"}, 0, EXIT_WORK_DIR_FAILED, 0},
        {Stage::WorkDirectory,
         {"GetVolumeInformationByHandleW", "SystemFunction036", "NtCreateFile", "CloseHandle", "LocalFree"}, 0,
         PROGRAM_EXIT, 0},
        {Stage::WorkDirectory, {}, 0, EXIT_WORK_DIR_ACL_FAILED, INJECTED_ERROR},
        {Stage::ArchiveCatalog, {}, 0, EXIT_ARCHIVE_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND},
        {Stage::SetupCatalog, {}, 0, EXIT_SETUP_RESOURCE_FAILED, ERROR_FILE_NOT_FOUND},
        // These only decorate a file that is already whole.
        {Stage::Expansion,
         {"DosDateTimeToFileTime", "LocalFileTimeToFileTime", "SetFileInformationByHandle", "FlushFileBuffers",
          "CloseHandle", "HeapFree"},
         0, PROGRAM_EXIT, 0},
        {Stage::Expansion, {}, 0, EXIT_SETUP_RESOURCE_FAILED, 0},
        // A failed release can tell the library nothing (its free callback
        // returns nothing); anything else the library hears of, and decides.
        {Stage::CabinetLibrary, {"HeapFree"}, 0, PROGRAM_EXIT, 0},
        {Stage::CabinetLibrary, {}, 0, EXIT_SETUP_RESOURCE_FAILED, 0, true},
        {Stage::Trim, {}, 0, PROGRAM_EXIT, 0},
        // For the not-found codes the system error is the program file's
        // attributes, which the file system decides.
        {Stage::Launch, {"CreateProcessW"}, ERROR_FILE_NOT_FOUND, EXIT_SETUP_FILE_NOT_FOUND, ANY_ERROR},
        {Stage::Launch, {"CreateProcessW"}, ERROR_PATH_NOT_FOUND, EXIT_SETUP_PATH_NOT_FOUND, ANY_ERROR},
        {Stage::Launch, {"CreateProcessW"}, 0, EXIT_SETUP_SPAWN_FAILED, INJECTED_ERROR},
        {Stage::Launch, {"WaitForSingleObject"}, 0, EXIT_SETUP_WAIT_FAILED, INJECTED_ERROR, false,
         Leftover::ScratchDirectoryWithTheProgram},
        {Stage::Launch, {"GetExitCodeProcess"}, 0, EXIT_SETUP_WAIT_FAILED, INJECTED_ERROR},
        {Stage::Launch, {}, 0, PROGRAM_EXIT, 0},
        {Stage::Removal, {}, 0, PROGRAM_EXIT, 0},
    };
    return table;
}

const Expectation* ExpectationFor(const InjectionPoint& point) {
    for (const Expectation& e : Expectations()) {
        if (e.stage == point.stage && (e.functions.empty() || e.functions.count(point.function) != 0) &&
            (e.error == 0 || e.error == point.error)) {
            return &e;
        }
    }
    return nullptr;
}

// --- What a run did ------------------------------------------------------------------

struct RunResult {
    RunOutcome outcome = {0, 0};
    bool injected = false;
    std::vector<std::string> left;     // everything beside the module afterwards, relative paths
    std::vector<std::string> damaged;  // files that must never be there in the form they have
    // Set instead of the rest when the run did not end: the process crashed
    // (with where) or was stopped.
    std::string abandoned;
    bool crashedInCabinetLibrary = false;
};

bool IsScratchName(const std::string& name) {
    if (name.size() != 13 || name.compare(0, 3, "QX_") != 0 || name.compare(8, 5, ".tmp\\") != 0) {
        return false;
    }
    for (size_t i = 3; i < 8; ++i) {
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'F'))) {
            return false;
        }
    }
    return true;
}

bool LeftoverAllowed(const std::vector<std::string>& left, Leftover allowed) {
    if (left.empty()) {
        return true;
    }
    if (allowed != Leftover::ScratchDirectoryWithTheProgram || !IsScratchName(left[0])) {
        return false;
    }
    return left.size() == 1 || (left.size() == 2 && left[1] == left[0] + "setup.exe");
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> items;
    if (text.empty()) {
        return items;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        items.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return items;
        }
        start = end + 1;
    }
}

// What did not hold at one injection point; empty when everything did.
std::vector<std::string> Judge(const InjectionPoint& point, const RunResult& result) {
    std::vector<std::string> faults;
    if (!result.abandoned.empty()) {
        if (!result.crashedInCabinetLibrary) {
            faults.push_back(result.abandoned);
        }
        return faults;
    }
    if (!result.injected) {
        faults.push_back("the call was never made");
    }
    const Expectation* expected = ExpectationFor(point);
    if (expected == nullptr) {
        faults.push_back("no expectation for this stage and function");
        return faults;
    }
    const int64_t error = expected->systemError == INJECTED_ERROR ? point.error : expected->systemError;
    const bool matches = result.outcome.exitCode == expected->exitCode &&
                         (error == ANY_ERROR || result.outcome.systemError == error);
    const bool programsOwn = expected->orTheProgramsOwnCode && result.outcome == RunOutcome{PROGRAM_EXIT, 0};
    if (!matches && !programsOwn) {
        std::ostringstream text;
        text << "outcome " << result.outcome << ", expected {" << expected->exitCode << ", "
             << (error == ANY_ERROR ? std::string("any") : std::to_string(error)) << "}"
             << (expected->orTheProgramsOwnCode ? " or the program's own {7, 0}" : "");
        faults.push_back(text.str());
    }
    if (!LeftoverAllowed(result.left, expected->leftover)) {
        faults.push_back("left " + Join(result.left, ", "));
    }
    if (!result.damaged.empty()) {
        faults.push_back("partial or stray: " + Join(result.damaged, ", "));
    }
    return faults;
}

// --- Points in child processes ----------------------------------------------------------

// Wine's cabinet library crashes on some failures reported to it through the
// callbacks, and may damage the heap before it does. So the points run in
// child processes of this test program, one after the other, a fresh child
// taking over after a crash; a point that did not hold in a child that had
// run other points first runs again alone, and that run counts.
const char CHILD_TEST[] = "FaultSweepTest.DISABLED_PointsInThisProcess";
const wchar_t POINTS_VARIABLE[] = L"FAULT_SWEEP_POINTS";  // file of points, one a line
const wchar_t RANGE_VARIABLE[] = L"FAULT_SWEEP_RANGE";    // "first last": the points this child runs
const wchar_t REPORT_VARIABLE[] = L"FAULT_SWEEP_REPORT";  // file the child appends its lines to
const wchar_t ROOT_VARIABLE[] = L"FAULT_SWEEP_ROOT";      // folder for the runs' own folders
constexpr DWORD CHILD_TIMEOUT_MS = 120000;

std::wstring Variable(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

std::wstring Widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::vector<std::string> Lines(const std::wstring& path) {
    std::vector<std::string> lines = Split(test::ReadBytes(path), '\n');
    if (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
}

// Appends whole lines to the report with one write each, so that what was
// written before a crash is all there.
class ReportFile {
public:
    explicit ReportFile(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~ReportFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    void Line(const std::string& text) const {
        const std::string line = text + "\n";
        DWORD written = 0;
        WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};

HANDLE crashReport = INVALID_HANDLE_VALUE;

// The last word of a child that crashed: where, and in which module. The heap
// may be what broke, so nothing here allocates.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH + 1] = L"(no module)";
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(record.ExceptionAddress), &module)) {
        GetModuleFileNameW(module, path, MAX_PATH);
    }
    char line[4 * MAX_PATH + 100];
    int length = std::snprintf(line, 100, "crash 0x%08lX at %p in ", record.ExceptionCode, record.ExceptionAddress);
    const int name = WideCharToMultiByte(CP_UTF8, 0, path, -1, line + length, 4 * MAX_PATH, nullptr, nullptr);
    length += name > 0 ? name - 1 : 0;
    line[length++] = '\n';
    DWORD written = 0;
    WriteFile(crashReport, line, static_cast<DWORD>(length), &written, nullptr);
    return EXCEPTION_EXECUTE_HANDLER;  // ends the process with the exception's code, no debugger
}

// --- The fixture -----------------------------------------------------------------------

// The installer's own file beside each run: any bytes do, since the run only
// holds it (the module that carries the payload is loaded apart).
const wchar_t INSTALLER[] = L"installer.exe";
const std::string INSTALLER_BYTES = "the installer's own file";

// Everything under `directory`, as relative paths; directories end with "\".
void ListTree(const std::wstring& directory, const std::wstring& prefix, std::vector<std::wstring>& out) {
    for (const std::wstring& name : test::Entries(directory)) {
        if (test::IsDirectory(directory + name)) {
            out.push_back(prefix + name + L"\\");
            ListTree(directory + name + L"\\", prefix + name + L"\\", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

class FaultSweepTest : public testing::Test {
protected:
    void SetUp() override {
        savedLibrary_ = cabinetLibrary;
        library::sweep = &sweep_;
        module_ = LoadLibraryExW((LayoutDirectory() + L"runnable_setup.dll").c_str(), nullptr, 0);
        ASSERT_NE(module_, nullptr) << "layout runnable_setup not loaded";
        program_ = test::ReadBytes(LayoutDirectory() + L"fixed_exit.exe");
        ASSERT_FALSE(program_.empty());

#define SEAM_FUNCTION(name) WATCH(name)::Install(#name, sweep_, unruled_);
#define SEAM_RUN_TIME_FUNCTION(name) SEAM_FUNCTION(name)
#include "seam_functions.inc"
#include "seam_run_time_functions.inc"
#undef SEAM_RUN_TIME_FUNCTION
#undef SEAM_FUNCTION

        // The stub takes its own folder from its module's path: each run gets
        // a folder of its own by the path it is told.
        WATCH(GetModuleFileNameW)::instead = [this](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
            return test::FillModulePath(runFolder_ + INSTALLER, buffer, size);
        };
        WATCH(GetCommandLineW)::instead = [this]() -> LPWSTR {
            commandLine_ = L"\"" + runFolder_ + INSTALLER + L"\" /quiet";
            return commandLine_.data();
        };
        // The module is the layout, not the installer file the run is told
        // of: that file stands in for it.
        WATCH(NtAreMappedFilesTheSame)::instead = [](PVOID, PVOID) -> NTSTATUS { return 0; };
        WATCH(Sleep)::instead = [](DWORD) {};
        WATCH(GetProcAddress)::instead = [this](HMODULE module, LPCSTR name) -> FARPROC {
            if (!IS_INTRESOURCE(name)) asked_.insert(name);
            return library::Watched(name, SEAM(GetProcAddress)::Real(module, name));
        };
        // Keeps what was started (the bytes of the program file, a handle to
        // the process) for the checks after the run.
        WATCH(CreateProcessW)::instead = [this](LPCWSTR application, LPWSTR line, LPSECURITY_ATTRIBUTES a,
                                                LPSECURITY_ATTRIBUTES t, BOOL inherit, DWORD flags, LPVOID env,
                                                LPCWSTR directory, LPSTARTUPINFOW startup,
                                                LPPROCESS_INFORMATION info) -> BOOL {
            if (application != nullptr) {
                sweep_.launchedPrograms.push_back(test::ReadBytes(application));
            }
            const BOOL started = test::StartProcess(application, line, a, t, inherit, flags, env, directory, startup,
                                                    info);
            if (started) {
                const DWORD error = GetLastError();
                HANDLE own = nullptr;
                if (DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &own, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
                    sweep_.children.push_back(own);
                }
                SetLastError(error);
            }
            return started;
        };
        // The unpacking's own promise, checked where it ends: the scratch
        // directory holds the whole setup program or nothing, whatever the
        // final removal later takes away.
        sweep_.unpacked = [this] {
            std::vector<std::wstring> present;
            ListTree(runFolder_, L"", present);
            for (const std::string& problem : Damaged(runFolder_, present)) {
                unpackingDamage_.push_back(problem + " after the unpacking");
            }
        };
        WATCH(CreateFileW)::describe = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                                          HANDLE) {
            return (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? Detail::OpensTheObjectItself : Detail::None;
        };
        WATCH(EnumResourceNamesW)::describe = [](HMODULE, LPCWSTR type, ENUMRESNAMEPROCW, LONG_PTR) {
            return !IS_INTRESOURCE(type) && std::wcscmp(type, L"B7") == 0 ? Detail::ArchiveType : Detail::OtherType;
        };
    }

    void TearDown() override {
#define SEAM_FUNCTION(name) WATCH(name)::Uninstall();
#define SEAM_RUN_TIME_FUNCTION(name) SEAM_FUNCTION(name)
#include "seam_functions.inc"
#include "seam_run_time_functions.inc"
#undef SEAM_RUN_TIME_FUNCTION
#undef SEAM_FUNCTION
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
        cabinetLibrary = savedLibrary_;
    }

    // One whole run in a fresh folder (with its trailing backslash), removed
    // again afterwards: what the run reported and what it left.
    RunResult Run(const std::wstring& folder, const InjectionPoint* target) {
        CreateDirectoryW(folder.c_str(), nullptr);
        runFolder_ = folder;
        // The installer's own file, which the run holds and must never change.
        test::WriteBytes(folder + INSTALLER, INSTALLER_BYTES);
        // As in a fresh process: the library is looked for and loaded again.
        cabinetLibrary = {};
        sweep_.Begin(target);
        unpackingDamage_.clear();
        RunResult result;
        result.outcome = RunStub(module_);
        result.injected = sweep_.injected;
        result.damaged = unpackingDamage_;
        result.damaged.insert(result.damaged.end(), sweep_.faults.begin(), sweep_.faults.end());
        // Leftovers are judged once nothing of the run can change them.
        for (HANDLE child : sweep_.children) {
            WaitForSingleObject(child, 10000);
            CloseHandle(child);
        }
        for (const std::string& started : sweep_.launchedPrograms) {
            if (started != program_) {
                result.damaged.push_back("a setup program of " + std::to_string(started.size()) + " bytes started");
            }
        }
        std::vector<std::wstring> left;
        ListTree(folder, L"", left);
        const auto installer = std::find(left.begin(), left.end(), INSTALLER);
        if (installer == left.end() || test::ReadBytes(folder + INSTALLER) != INSTALLER_BYTES) {
            result.damaged.push_back("the installer gone or changed");
        } else {
            left.erase(installer);
        }
        for (const std::string& problem : Damaged(folder, left)) {
            result.damaged.push_back(problem);
        }
        for (const std::wstring& path : left) {
            result.left.push_back(test::Narrow(path));
        }
        test::RemoveTree(folder);
        return result;
    }

    // Files among `paths` (relative to `folder`) that may never be there: a
    // setup program that is not the whole packed one, and the cabinet.
    std::vector<std::string> Damaged(const std::wstring& folder, const std::vector<std::wstring>& paths) const {
        std::vector<std::string> damaged;
        for (const std::wstring& path : paths) {
            const std::wstring name = path.substr(path.find_last_of(L'\\', path.size() - 2) + 1);
            if (name == L"setup.exe" && test::ReadBytes(folder + path) != program_) {
                damaged.push_back(test::Narrow(path) + " (partial)");
            } else if (name == L"SETUP.EX_") {
                damaged.push_back(test::Narrow(path) + " (the cabinet)");
            }
        }
        return damaged;
    }

    // Runs points[first, last) in one child process; fills their results and
    // returns the index after the last point the child got to.
    size_t RunChild(const std::wstring& root, size_t first, size_t last,
                    std::vector<RunResult>& results) {
        const std::wstring report = root + L"report.txt";
        DeleteFileW(report.c_str());
        SetEnvironmentVariableW(POINTS_VARIABLE, (root + L"points.txt").c_str());
        SetEnvironmentVariableW(RANGE_VARIABLE, (std::to_wstring(first) + L" " + std::to_wstring(last)).c_str());
        SetEnvironmentVariableW(REPORT_VARIABLE, report.c_str());
        SetEnvironmentVariableW(ROOT_VARIABLE, root.c_str());

        wchar_t program[MAX_PATH + 1] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring line = L"\"" + std::wstring(program) + L"\" --gtest_filter=" + Widen(CHILD_TEST) +
                            L" --gtest_also_run_disabled_tests";
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = nul;
        startup.hStdError = nul;
        PROCESS_INFORMATION process = {};
        const BOOL started = test::StartProcess(program, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                                nullptr, nullptr, &startup, &process);
        CloseHandle(nul);
        for (const wchar_t* name : {POINTS_VARIABLE, RANGE_VARIABLE, REPORT_VARIABLE, ROOT_VARIABLE}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        std::string ending = "the child process did not start";
        if (started) {
            CloseHandle(process.hThread);
            if (WaitForSingleObject(process.hProcess, CHILD_TIMEOUT_MS) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, ERROR_TIMEOUT);
                WaitForSingleObject(process.hProcess, INFINITE);
                ending = "hung: the child was stopped";
            } else {
                DWORD code = 0;
                GetExitCodeProcess(process.hProcess, &code);
                char text[64];
                std::snprintf(text, sizeof(text), "the child ended with 0x%08lX", code);
                ending = text;
            }
            CloseHandle(process.hProcess);
        }

        size_t next = first;
        bool begun = false;
        for (const std::string& reportLine : Lines(report)) {
            std::istringstream in(reportLine);
            std::string word;
            size_t index = 0;
            in >> word;
            if (word == "begin" && in >> index) {
                next = index;
                begun = true;
            } else if (word == "done" && in >> index && index < results.size()) {
                RunResult& result = results[index];
                int injected = 0;
                in >> result.outcome.exitCode >> result.outcome.systemError >> injected;
                result.injected = injected != 0;
                std::string rest;
                std::getline(in, rest);
                const std::vector<std::string> parts = Split(rest, '\t');
                result.left = parts.size() > 1 ? Split(parts[1], '|') : std::vector<std::string>{};
                result.damaged = parts.size() > 2 ? Split(parts[2], '|') : std::vector<std::string>{};
                next = index + 1;
                begun = false;
            } else if (word == "crash") {
                ending = reportLine;
            }
        }
        if (next >= last) {
            return last;
        }
        // The point in progress, or the next one if the child never began it.
        RunResult& result = results[next];
        result.abandoned = begun ? ending : ending + " before the point began";
        std::string lower = ending;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        result.crashedInCabinetLibrary = begun && lower.compare(0, 6, "crash ") == 0 &&
                                         lower.size() >= 12 && lower.compare(lower.size() - 12, 12, "\\cabinet.dll") == 0;
        return next + 1;
    }

    std::vector<RunResult> RunPoints(const std::wstring& root, const std::vector<InjectionPoint>& points) {
        std::string list;
        for (const InjectionPoint& point : points) {
            list += point.function + " " + std::to_string(point.index) + " " + std::to_string(point.error) + "\n";
        }
        test::WriteBytes(root + L"points.txt", list);

        std::vector<RunResult> results(points.size());
        std::vector<bool> ranFirst(points.size(), false);
        for (size_t next = 0; next < points.size();) {
            ranFirst[next] = true;
            next = RunChild(root, next, points.size(), results);
        }
        for (size_t i = 0; i < points.size(); ++i) {
            if (!ranFirst[i] && !Judge(points[i], results[i]).empty()) {
                results[i] = RunResult{};
                RunChild(root, i, i + 1, results);
            }
        }
        return results;
    }

    static std::string Serialize(size_t index, const RunResult& result) {
        std::ostringstream out;
        out << "done " << index << " " << result.outcome.exitCode << " " << result.outcome.systemError << " "
            << (result.injected ? 1 : 0) << "\t" << Join(result.left, "|") << "\t" << Join(result.damaged, "|");
        return out.str();
    }

    Sweep sweep_;
    std::vector<std::string> unruled_;
    std::set<std::string> asked_;  // every name the product took through GetProcAddress
    HMODULE module_ = nullptr;
    std::string program_;
    std::wstring runFolder_;
    std::wstring commandLine_;
    std::vector<std::string> unpackingDamage_;
    CabinetLibrary savedLibrary_ = {};
};

TEST_F(FaultSweepTest, EveryFailingCallEndsAsTheTablesSay) {
    ASSERT_TRUE(unruled_.empty()) << "imported functions without a fault rule: " << Join(unruled_, ", ");
    // A value that is not "0": the registry reads succeed, so they can fail,
    // and the removal stays on.
    test::CleanupRegistryValue registry;
    registry.Set(REG_SZ, L"1", 4);
    test::ScratchDirectory root;

    const RunResult baseline = Run(root / L"baseline\\", nullptr);
    ASSERT_EQ(baseline.outcome, (RunOutcome{PROGRAM_EXIT, 0})) << "the run without a failure";
    ASSERT_TRUE(baseline.left.empty()) << "left: " << Join(baseline.left, ", ");
    ASSERT_TRUE(baseline.damaged.empty()) << Join(baseline.damaged, ", ");
    ASSERT_EQ(sweep_.launchedPrograms.size(), 1u);
    const std::vector<Call> sequence = sweep_.calls;
    // A function taken at run time that the seam does not hook would fail
    // nowhere in the sweep: each must be a hooked one or a cabinet entry
    // point, which the sweep watches itself.
    std::set<std::string> known = {"FDICreate", "FDICopy", "FDIDestroy"};
#define SEAM_RUN_TIME_FUNCTION(name) known.insert(#name);
#include "seam_run_time_functions.inc"
#undef SEAM_RUN_TIME_FUNCTION
    for (const std::string& name : asked_) {
        EXPECT_EQ(known.count(name), 1u) << name << " is taken through GetProcAddress but not hooked by the seam";
    }

    std::vector<InjectionPoint> points;
    for (const Call& call : sequence) {
        const FaultRule* rule = RuleFor(call.function.c_str());
        // A call that already fails in the run without a fault is no point:
        // failing it again changes nothing.
        if (rule->report == Report::Never || !call.succeeded) {
            continue;
        }
        for (DWORD error : rule->errors) {
            points.push_back({call.function, call.index, call.stage, error});
        }
    }
    // The run must reach every stage, or the sweep would miss one unnoticed.
    std::set<Stage> reached;
    for (const InjectionPoint& point : points) {
        reached.insert(point.stage);
    }
    for (Stage stage : ALL_STAGES) {
        EXPECT_EQ(reached.count(stage), 1u) << "no injection point in stage " << StageName(stage);
    }

    const std::vector<RunResult> results = RunPoints(root.Path(), points);

    // FAULT_SWEEP_VERBOSE=1 lists every point with what its run gave.
    const bool verbose = !Variable(L"FAULT_SWEEP_VERBOSE").empty();
    size_t held = 0;
    size_t libraryCrashes = 0;
    size_t libraryStopped = 0;
    size_t libraryRecovered = 0;
    std::map<Stage, std::pair<size_t, size_t>> byStage;  // points, held
    for (size_t i = 0; i < points.size(); ++i) {
        const InjectionPoint& point = points[i];
        const std::vector<std::string> faults = Judge(point, results[i]);
        if (verbose) {
            std::ostringstream line;
            line << point.function << " #" << point.index << " (" << StageName(point.stage) << ", error "
                 << point.error << "): ";
            if (results[i].abandoned.empty()) {
                line << results[i].outcome << ", left " << (results[i].left.empty() ? "nothing" : Join(results[i].left, ", "));
            } else {
                line << results[i].abandoned;
            }
            std::printf("fault sweep point: %s%s\n", line.str().c_str(), faults.empty() ? "" : "  [did not hold]");
        }
        auto& counts = byStage[point.stage];
        ++counts.first;
        if (point.stage == Stage::CabinetLibrary && point.function != "HeapFree" && results[i].abandoned.empty()) {
            ++(results[i].outcome.exitCode == EXIT_SETUP_RESOURCE_FAILED ? libraryStopped : libraryRecovered);
        }
        if (faults.empty()) {
            ++held;
            ++counts.second;
            if (results[i].crashedInCabinetLibrary) {
                ++libraryCrashes;
                std::printf("fault sweep: %s #%u (%s, error %lu): %s\n", point.function.c_str(), point.index,
                            StageName(point.stage), point.error, results[i].abandoned.c_str());
            }
        } else {
            ADD_FAILURE() << point.function << " #" << point.index << " (" << StageName(point.stage) << ", error "
                          << point.error << ")\n    " << Join(faults, "\n    ");
        }
    }

    std::printf("fault sweep by stage (held/points):");
    for (const auto& [stage, counts] : byStage) {
        std::printf(" %s %zu/%zu;", StageName(stage), counts.second, counts.first);
    }
    std::printf("\nfault sweep: failures handed to the cabinet library: %zu stopped it (115), %zu it got over "
                "(the whole program ran), %zu crashed it inside cabinet.dll, not in the stub\n",
                libraryStopped, libraryRecovered, libraryCrashes);
    std::printf("fault sweep: %zu injection points, %zu held\n", points.size(), held);
    RecordProperty("injection_points", static_cast<int>(points.size()));
    RecordProperty("held", static_cast<int>(held));
    RecordProperty("cabinet_library_crashes", static_cast<int>(libraryCrashes));
    EXPECT_EQ(held, points.size());
}

// The other half of the sweep: started by the test above in a child process,
// it runs the points it is given and reports each one. Disabled, so that it
// never runs on its own.
TEST_F(FaultSweepTest, DISABLED_PointsInThisProcess) {
    const std::wstring pointsPath = Variable(POINTS_VARIABLE);
    const std::wstring root = Variable(ROOT_VARIABLE);
    if (pointsPath.empty() || root.empty()) {
        GTEST_SKIP() << "runs only as a child of EveryFailingCallEndsAsTheTablesSay";
    }
    std::vector<InjectionPoint> points;
    for (const std::string& line : Lines(pointsPath)) {
        std::istringstream in(line);
        InjectionPoint point = {};
        in >> point.function >> point.index >> point.error;
        points.push_back(point);
    }
    size_t first = 0;
    size_t last = 0;
    std::istringstream(test::Narrow(Variable(RANGE_VARIABLE))) >> first >> last;

    const ReportFile report(Variable(REPORT_VARIABLE));
    crashReport = report.Handle();
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    for (size_t i = first; i < last && i < points.size(); ++i) {
        report.Line("begin " + std::to_string(i));
        const RunResult result = Run(root + L"run" + std::to_wstring(i) + L"\\", &points[i]);
        report.Line(Serialize(i, result));
    }
    crashReport = INVALID_HANDLE_VALUE;
}

}  // namespace
