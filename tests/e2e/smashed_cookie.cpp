// A stand-in for the run sequence, linked only into a test image together
// with the stub's real entry point (which draws the stack cookie) and its
// real fail-fast. Its command line says what to do:
//   ... smash   copy the whole command line into a buffer of eight units on
//               the stack, as an unchecked copy would, and return through
//               the smashed frame: the run must end with the fail-fast code;
//   ... cookie  exit with the cookie folded into 32 bits, so that a test can
//               see it was drawn before this frame and differs run to run.
#include <windows.h>

#include "entry/run_stub.h"

extern "C" uintptr_t __stack_chk_guard;

namespace {

// The pointer is read through a volatile, so the compiler cannot know how
// far the copy may go and keeps every store.
[[gnu::noinline]] uint32_t CopyUnchecked(const wchar_t* text) {
    wchar_t buffer[8];
    wchar_t* volatile target = buffer;
    uint64_t i = 0;
    for (; text[i] != 0; ++i) {
        target[i] = text[i];
    }
    target[i] = 0;
    return target[0];
}

// The first unit of the last blank-separated word.
wchar_t LastWordStart(const wchar_t* text) {
    wchar_t first = 0;
    for (uint64_t i = 0; text[i] != 0; ++i) {
        if (text[i] != L' ' && (i == 0 || text[i - 1] == L' ')) {
            first = text[i];
        }
    }
    return first;
}

}  // namespace

RunOutcome RunStub(HMODULE) {
    const wchar_t* const line = GetCommandLineW();
    if (LastWordStart(line) == L'c') {
        return {static_cast<uint32_t>(__stack_chk_guard ^ (__stack_chk_guard >> 32)), 0};
    }
    return {CopyUnchecked(line), 0};
}
