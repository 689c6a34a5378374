# The same code for x64 Windows; the end-to-end tests run it under Wine.
set(STUB_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(STUB_DLLTOOL_MACHINE i386:x86-64)
set(STUB_PE_MACHINE 0x8664)
set(STUB_MACHINE_NAME x64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-common.cmake)
