#pragma once

// The test seam. In the behaviour-test build every Windows function that the
// stub imports is reached through a Hook: it calls the real function unless a
// test has installed a replacement, and it counts the calls. The product's
// sources are not changed for this; seam_redirect.h is force-included into
// them in the test build only and renames each call to its hook. A function
// the stub takes through GetProcAddress (seam_run_time_functions.inc) gets a
// hook too: the seam's GetProcAddress hands out the hook's address in place
// of the function's, and the hook calls the function the system gave.
//
// A test writes
//     auto guard = SEAM(WriteFile)::Replace([](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
//         SetLastError(ERROR_DISK_FULL);
//         return FALSE;
//     });
// and the replacement holds until the guard goes out of scope.

#include <windows.h>
#include <shellapi.h>
#include <sddl.h>
#include <ntsecapi.h>
#include <winternl.h>

#include <cstring>
#include <functional>
#include <utility>

namespace seam {

template <typename Tag, typename Function>
struct Hook;

template <typename Tag, typename Result, typename... Args>
struct Hook<Tag, Result(Args...)> {
    using Replacement = std::function<Result(Args...)>;

    static inline Replacement replacement;
    static inline unsigned long calls = 0;

    static Result WINAPI Call(Args... args) {
        ++calls;
        if (replacement) {
            return replacement(args...);
        }
        return Tag::real(args...);
    }

    // The real function, for a replacement that changes only some calls.
    static Result Real(Args... args) { return Tag::real(args...); }

    class Guard {
    public:
        explicit Guard(Replacement previous) : previous_(std::move(previous)) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { replacement = std::move(previous_); }

    private:
        Replacement previous_;
    };

    [[nodiscard]] static Guard Replace(Replacement with) {
        Replacement previous = std::move(replacement);
        replacement = std::move(with);
        return Guard(std::move(previous));
    }
};

}  // namespace seam

// One tag per hooked function, holding the real function's address.
#define SEAM_FUNCTION(name)                                     \
    namespace seam::tags {                                      \
    struct name {                                               \
        static inline decltype(&::name) const real = &::name;  \
    };                                                          \
    }
#include "seam_functions.inc"
#undef SEAM_FUNCTION

// Declared by no system header the product uses: the product declares only
// its pointer type.
extern "C" NTSTATUS NTAPI NtAreMappedFilesTheSame(PVOID File1MappedAsAnImage, PVOID File2MappedAsFile);

// One tag per function taken at run time, holding what GetProcAddress found
// for it (null until the product asked for it).
#define SEAM_RUN_TIME_FUNCTION(name)                 \
    namespace seam::tags {                           \
    struct name {                                    \
        static inline decltype(&::name) real = nullptr; \
    };                                               \
    }
#include "seam_run_time_functions.inc"
#undef SEAM_RUN_TIME_FUNCTION

#define SEAM(name) ::seam::Hook<::seam::tags::name, decltype(::name)>

namespace seam {

// What the product's GetProcAddress is renamed to: the hooked GetProcAddress
// (so it can still be counted and made to fail), then, for a function taken
// at run time, its hook in place of the function itself.
inline FARPROC WINAPI GetProcAddressThroughHooks(HMODULE module, LPCSTR name) {
    const FARPROC found = SEAM(GetProcAddress)::Call(module, name);
    if (found == nullptr || IS_INTRESOURCE(name)) {
        return found;
    }
#define SEAM_RUN_TIME_FUNCTION(function)                                                                   \
    if (std::strcmp(name, #function) == 0) {                                                               \
        tags::function::real = reinterpret_cast<decltype(tags::function::real)>(reinterpret_cast<void*>(found)); \
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SEAM(function)::Call));                  \
    }
#include "seam_run_time_functions.inc"
#undef SEAM_RUN_TIME_FUNCTION
    return found;
}

}  // namespace seam
// How often the product called `name` (parenthesised so that it can stand
// inside an assertion macro).
#define SEAM_CALLS(name) (SEAM(name)::calls)
