# What the two Windows cross-builds share, with Debian's mingw-w64 in the posix thread model (so
# the test framework has std::mutex; the plug-in itself starts its threads with the Windows calls).
# The including toolchain file sets KVT_MINGW_TRIPLE, KVT_MINGW_PROCESSOR and KVT_WINE_BITS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KVT_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${KVT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVT_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests and tools run through Wine of the build's width; the wrapper keeps the prefix inside the
# build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${KVT_WINE_BITS})
