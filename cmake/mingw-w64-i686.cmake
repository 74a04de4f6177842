# Cross toolchain for the shipped 32-bit Windows build.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVEX_MINGW_TRIPLE i686-w64-mingw32)
set(TARVEX_MANIFEST_ARCH X86)
set(TARVEX_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
