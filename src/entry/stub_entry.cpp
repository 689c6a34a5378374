#include <windows.h>

#include "entry/process_start.h"
#include "entry/run_stub.h"

// The linker's symbol for the start of our own mapped image, which is also our
// module handle; asking the system for it would cost an import. Hidden: it is
// in this image, so the code takes its address directly instead of through a
// pointer kept for data that might come from a DLL.
extern "C" __attribute__((visibility("hidden"))) IMAGE_DOS_HEADER __ImageBase;

// The stack cookie that every protected function compares, and the fail-fast
// that a mismatch ends in (compiler_support.cpp).
extern "C" uintptr_t __stack_chk_guard;
extern "C" [[noreturn]] void __stack_chk_fail();

// The loader calls this directly: no run-time start-up runs before it, so
// nothing here may rely on one (no static constructors, no atexit). It keeps
// no cookie itself, since it draws the cookie: a frame that saved the old
// value would fail its own check. A run whose first steps failed ends the way
// an overrun does, at once and running nothing of ours.
extern "C" [[noreturn]] __attribute__((no_stack_protector)) void StubEntry() {
    if (!ProtectProcess(__stack_chk_guard)) {
        __stack_chk_fail();
    }
    const RunOutcome outcome = RunStub(reinterpret_cast<HMODULE>(&__ImageBase));
    ExitProcess(outcome.exitCode);
}
