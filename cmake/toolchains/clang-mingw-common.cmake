# Shared by the two clang toolchains: Windows targets built with Debian's clang
# and lld against the mingw-w64 headers only. No mingw run-time and no import
# library from elsewhere is linked; the project makes its own import libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${STUB_TARGET_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${STUB_TARGET_TRIPLE})

# There is no C run-time to link a test program against, so CMake's compiler
# check only compiles.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(MINGW_W64_INCLUDE_DIR /usr/share/mingw-w64/include)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${MINGW_W64_INCLUDE_DIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

find_program(LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(LLVM_RC NAMES llvm-rc llvm-rc-14 REQUIRED)
find_program(LLVM_READOBJ NAMES llvm-readobj llvm-readobj-14 REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
