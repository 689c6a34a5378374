#include <windows.h>

#include "entry/run_stub.h"

// The linker's symbol for the start of our own mapped image, which is also our
// module handle; asking the system for it would cost an import.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The loader calls this directly: no run-time start-up runs before it, so
// nothing here may rely on one (no static constructors, no atexit).
extern "C" [[noreturn]] void StubEntry() {
    const RunOutcome outcome = RunStub(reinterpret_cast<HMODULE>(&__ImageBase));
    ExitProcess(outcome.exitCode);
}
