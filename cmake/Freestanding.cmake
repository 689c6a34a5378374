# Building Windows programs that link no C run-time: compile options, the
# project's own import libraries, and the executable helper.

set(FREESTANDING_COMPILE_OPTIONS
    -std=c++20
    -Oz
    # Whole-program optimisation at link time: about a kilobyte less code and
    # data in the stub. The frame limit below then applies to the frames as
    # linked (the linker's warnings are errors).
    -flto
    # Every class with virtual functions is in the image, so a virtual call
    # with one possible target becomes a direct call: less code, and one
    # indirect call fewer for Control Flow Guard to check.
    -fwhole-program-vtables
    # A switch becomes compares and direct branches instead of an indirect
    # jump through a table: a little less code, and no indirect jump inside
    # our own functions.
    -fno-jump-tables
    -ffreestanding
    -nostdlibinc
    -fno-exceptions
    -fno-rtti
    -fno-threadsafe-statics
    -fno-use-cxa-atexit
    # The stub's own objects turn stack cookies on (see CMakeLists.txt); the
    # tools do without, since nothing draws a cookie for them.
    -fno-stack-protector
    # Control Flow Guard: every indirect call is checked against the image's
    # table of valid targets first (the load configuration is in
    # src/entry/load_config.cpp). Clang 14 knows no driver flag for it.
    "SHELL:-Xclang -cfguard"
    # Unwind data, so that the system can walk our stack when a fault happens
    # (without it Wine's ARM64 exception dispatch spins on a crash).
    -funwind-tables
    -ffunction-sections
    -fdata-sections
    -Wall
    -Wextra
    -Werror
    # Frames stay below a page, so no stack probe is needed (see
    # src/entry/compiler_support.cpp).
    -Wframe-larger-than=4000
    $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},AMD64>:-mno-stack-arg-probe>
)
# x64 only: the image is marked compatible with hardware shadow stacks (CET),
# so that a system enforcing them checks every return. The mark lives in a
# debug directory entry, whose section is merged into the read-only data
# rather than costing a header and a block of its own.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL AMD64)
    set(FREESTANDING_MACHINE_LINK_OPTIONS -Wl,-Xlink=-cetcompat -Wl,-Xlink=-merge:.buildid=.rdata)
else()
    set(FREESTANDING_MACHINE_LINK_OPTIONS "")
endif()
set(FREESTANDING_DEFINITIONS WIN32_LEAN_AND_MEAN UNICODE _UNICODE NOMINMAX _WIN32_WINNT=0x0A00)

# llvm-dlltool turns a .def file into an import library for this target.
function(add_import_library name def_file)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/importlibs/lib${name}.a)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/importlibs
        COMMAND ${LLVM_DLLTOOL} -m ${STUB_DLLTOOL_MACHINE} -d ${def_file} -l ${output}
        DEPENDS ${def_file}
        COMMENT "Import library ${name} from ${def_file}"
        VERBATIM)
    add_custom_target(${name}_importlib DEPENDS ${output})
    add_library(${name} INTERFACE)
    add_dependencies(${name} ${name}_importlib)
    target_link_libraries(${name} INTERFACE ${output})
endfunction()

# The DOS stub in front of every image's PE headers (see make_dos_stub.py).
find_program(STUB_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED
             DOC "Debian's python3, which has python3-pefile for the structure check")
set(STUB_DOS_STUB ${CMAKE_BINARY_DIR}/dos_stub.bin)
add_custom_command(
    OUTPUT ${STUB_DOS_STUB}
    COMMAND ${STUB_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_dos_stub.py ${STUB_DOS_STUB}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_dos_stub.py
    COMMENT "DOS stub"
    VERBATIM)
add_custom_target(dos_stub DEPENDS ${STUB_DOS_STUB})

# A freestanding executable: raw entry point, the given subsystem, only the
# listed import libraries, our DOS stub, no time stamp, no symbol table.
function(add_freestanding_executable name)
    cmake_parse_arguments(ARG "" "ENTRY;SUBSYSTEM" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE ${FREESTANDING_COMPILE_OPTIONS})
    target_compile_definitions(${name} PRIVATE ${FREESTANDING_DEFINITIONS})
    target_link_options(${name} PRIVATE
        -nostdlib
        -flto
        -fwhole-program-vtables
        -Wl,--fatal-warnings
        # Unwind data is read-only data like any other: one section less
        # saves a file-alignment block.
        -Wl,-Xlink=-merge:.pdata=.rdata
        # Our 72-byte DOS stub in place of lld's 120-byte one: the headers
        # of an image with four sections then fit in one 512-byte block.
        -Wl,-Xlink=-stub:${STUB_DOS_STUB}
        -Wl,--entry=${ARG_ENTRY}
        -Wl,--subsystem,${ARG_SUBSYSTEM}
        -Wl,--gc-sections
        -Wl,--no-insert-timestamp
        # The table of valid call targets for Control Flow Guard. Nothing
        # here uses longjmp, so there is no table of its targets.
        -Wl,--guard-cf
        -Wl,--no-guard-longjmp
        ${FREESTANDING_MACHINE_LINK_OPTIONS}
        -s)
    add_dependencies(${name} dos_stub)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${STUB_DOS_STUB})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
endfunction()
