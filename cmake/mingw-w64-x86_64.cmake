# Cross toolchain for a 64-bit build of the same sources, for Wine hosts that cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(TARVEX_MANIFEST_ARCH amd64)
set(TARVEX_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
