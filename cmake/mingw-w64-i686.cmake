# Cross-build for 32-bit Windows.
set(KVT_MINGW_TRIPLE i686-w64-mingw32)
set(KVT_MINGW_PROCESSOR x86)
set(KVT_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
