// A stand-in for the run sequence, linked only into a test image together
// with the stub's real entry point (which sets the library search and draws
// the stack cookie) and its real fail-fast. The last word of its command
// line says what to do:
//   smash-...    copy the whole command line into a buffer of eight units on
//                the stack, as an unchecked copy would, and return through
//                the smashed frame: the run must end with the fail-fast code;
//   cookie       exit with the cookie folded into 32 bits, so that a test can
//                see it was drawn before this frame and differs run to run;
//   cookie-high  exit with the cookie's upper 32 bits, and cookie-low with
//                its lower 32 bits: the whole cookie must be drawn;
//   search       ask the loader for "planted.dll" by its bare name, as
//                system code may: exit 1 when a library of that name beside
//                the image was loaded, 0 when none was.
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

// The last blank-separated word.
const wchar_t* LastWord(const wchar_t* text) {
    const wchar_t* last = text;
    for (uint64_t i = 0; text[i] != 0; ++i) {
        if (text[i] != L' ' && (i == 0 || text[i - 1] == L' ')) {
            last = text + i;
        }
    }
    return last;
}

bool Is(const wchar_t* word, const wchar_t* wanted) {
    for (; *wanted != 0; ++word, ++wanted) {
        if (*word != *wanted) {
            return false;
        }
    }
    return *word == 0 || *word == L' ';
}

}  // namespace

RunOutcome RunStub(HMODULE) {
    const wchar_t* const line = GetCommandLineW();
    const wchar_t* const word = LastWord(line);
    const uint64_t cookie = __stack_chk_guard;
    if (Is(word, L"cookie")) {
        return {static_cast<uint32_t>(cookie ^ (cookie >> 32)), 0};
    }
    if (Is(word, L"cookie-high")) {
        return {static_cast<uint32_t>(cookie >> 32), 0};
    }
    if (Is(word, L"cookie-low")) {
        return {static_cast<uint32_t>(cookie), 0};
    }
    if (Is(word, L"search")) {
        return {LoadLibraryExW(L"planted.dll", nullptr, 0) != nullptr ? 1u : 0u, 0};
    }
    return {CopyUnchecked(line), 0};
}
