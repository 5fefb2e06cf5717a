# Cross-build for 64-bit Windows.
set(KVT_MINGW_TRIPLE x86_64-w64-mingw32)
set(KVT_MINGW_PROCESSOR AMD64)
set(KVT_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
