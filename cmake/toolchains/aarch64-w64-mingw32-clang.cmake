# The product: 64-bit ARM Windows.
set(STUB_TARGET_TRIPLE aarch64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(STUB_DLLTOOL_MACHINE arm64)
set(STUB_PE_MACHINE 0xAA64)
set(STUB_MACHINE_NAME arm64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw-common.cmake)
