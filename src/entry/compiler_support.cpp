// The few routines the compiler may call on its own, provided here because
// the stub links no C run-time:
//  - memset and memcpy: clang emits them for zero-initialised or copied
//    records (FILE_BASIC_INFO, STARTUPINFOW, the cabinet job).
//  - the stack cookie and the routine a protected function calls when it
//    finds its copy of the cookie overwritten.
// Stack probes (__chkstk) are avoided instead: the build refuses any frame of
// 4000 bytes or more, when compiling and again after link-time optimisation
// has inlined across files, and a frame smaller than a page can only reach
// the guard page just below the committed stack, which the system grows on
// its own. So the probes are switched off for x64; on ARM64 a frame that
// needed one would fail to link.
#include <stddef.h>
#include <stdint.h>

extern "C" {

// Plain byte loops; no_builtin keeps the compiler from turning them back into
// calls to themselves.
__attribute__((no_builtin)) void* memset(void* destination, int value, size_t count) {
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

__attribute__((no_builtin)) void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
    return destination;
}

// Every function with a local array or a local whose address escapes keeps
// a copy of this value beside its locals, where an overrun of one of them
// reaches it first, and compares it before returning. The entry point draws
// it from the system's random generator before any such function runs; a
// known cookie would be one an overflow could simply write back.
uintptr_t __stack_chk_guard;

// A mismatch means a buffer on the stack was overrun and a saved return
// address may be an attacker's: end the process at once through the system's
// fail-fast, which unwinds nothing and runs no handler of ours. The exit code
// is then STATUS_STACK_BUFFER_OVERRUN (0xC0000409). The entry point ends
// here too when it cannot set up the process's protections. Never inlined,
// so that the image holds this one fail-fast that every check reaches.
[[noreturn]] __attribute__((noinline)) void __stack_chk_fail() {
    // FAST_FAIL_STACK_COOKIE_CHECK_FAILURE (2) in the register the system
    // reads it from, written out so that the image shows these exact bytes.
#if defined(__x86_64__)
    asm volatile("movl $2, %ecx\n\tint $0x29");
#elif defined(__aarch64__)
    asm volatile("mov w0, #2\n\tbrk #0xF003");
#else
#error "the fail-fast for this machine is missing"
#endif
    __builtin_unreachable();
}

}  // extern "C"
