#include "entry/process_start.h"

#include <windows.h>
#include <ntsecapi.h>

// No cookie of its own: it draws the cookie, and a frame that kept the old
// value would fail its own check.
__attribute__((no_stack_protector)) bool ProtectProcess(uintptr_t& cookie) {
    return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) &&
           SystemFunction036(&cookie, sizeof(cookie));
}
