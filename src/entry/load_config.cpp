// The image's load configuration, which the loader reads before our entry
// point runs, and the two pointers through which compiled code checks an
// indirect call's target.
//
// Without a C run-time nobody else provides these. The record is written in
// assembly because two of its fields are numbers only the linker knows (how
// many valid call targets there are, and the guard flags): C++ could only
// take the address of such a symbol, and the linker insists that the flags
// field holds exactly its own value.

asm(R"(
    .section .rdata,"dr"
    .globl _load_config_used
    .p2align 3
_load_config_used:
    .long 0x94                          /* Size: up to and including GuardFlags */
    .long 0                             /* TimeDateStamp */
    .short 0, 0                         /* MajorVersion, MinorVersion */
    .long 0, 0, 0                       /* GlobalFlagsClear, GlobalFlagsSet, CriticalSectionDefaultTimeout */
    .quad 0, 0, 0, 0, 0, 0              /* heap thresholds, LockPrefixTable, allocation limits, affinity */
    .long 0                             /* ProcessHeapFlags */
    .short 0                            /* CSDVersion */
    /* DependentLoadFlags: the libraries our imports depend on come from */
    /* System32 only, never from the folder the installer was downloaded to. */
    .short 0x800                        /* LOAD_LIBRARY_SEARCH_SYSTEM32 */
    .quad 0                             /* EditList */
    .quad 0                             /* SecurityCookie */
    .quad 0, 0                          /* SEHandlerTable, SEHandlerCount (32-bit only) */
    .quad __guard_check_icall_fptr      /* GuardCFCheckFunctionPointer */
    .quad __guard_dispatch_icall_fptr   /* GuardCFDispatchFunctionPointer */
    .quad __guard_fids_table            /* GuardCFFunctionTable */
    .quad __guard_fids_count            /* GuardCFFunctionCount */
    .long __guard_flags                 /* GuardFlags */
)");

// Until the loader fills them in (on a system that enforces the guard), the
// pointers lead to code that lets every call through: the check returns, the
// dispatch jumps to the target it was handed. ARM64 code only ever checks;
// x64 code dispatches.
#if defined(__x86_64__)
asm(R"(
    .section .rdata,"dr"
    .globl __guard_check_icall_fptr
    .globl __guard_dispatch_icall_fptr
    .p2align 3
__guard_check_icall_fptr:
    .quad GuardCheckNothing
__guard_dispatch_icall_fptr:
    .quad GuardDispatchDirectly

    .text
GuardCheckNothing:
    ret
GuardDispatchDirectly:
    jmp *%rax
)");
#elif defined(__aarch64__)
asm(R"(
    .section .rdata,"dr"
    .globl __guard_check_icall_fptr
    .set __guard_dispatch_icall_fptr, 0
    .p2align 3
__guard_check_icall_fptr:
    .quad GuardCheckNothing

    .text
GuardCheckNothing:
    ret
)");
#else
#error "a load configuration for this machine is missing"
#endif
