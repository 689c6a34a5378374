// The few routines the compiler may call on its own, provided here because
// the stub links no C run-time:
//  - memset and memcpy: clang emits them for zero-initialised or copied
//    records (FILE_BASIC_INFO, STARTUPINFOW, the cabinet job).
// Stack probes (__chkstk) are avoided instead: the build refuses any frame of
// 4000 bytes or more, when compiling and again after link-time optimisation
// has inlined across files, and a frame smaller than a page can only reach
// the guard page just below the committed stack, which the system grows on
// its own. So the probes are switched off for x64; on ARM64 a frame that
// needed one would fail to link.
#include <stddef.h>

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

}  // extern "C"
