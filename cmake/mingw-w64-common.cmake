# What the two Windows cross-builds share. They are built by clang and lld for Debian's mingw-w64
# target and runtime (the posix thread model's libstdc++ and winpthreads, so that the test
# framework has std::mutex; the plug-in itself starts its threads with the Windows calls): the
# plug-in's code is compiled with CodeView debug information, and the DLL is linked with a PDB
# that Visual Studio and WinDbg read (CMakeLists.txt). KVT_WINDOWS_COMPILER=gcc builds with
# mingw-w64's own gcc and ld instead, whose DWARF those debuggers do not read.
# The including toolchain file sets KVT_MINGW_TRIPLE, KVT_MINGW_PROCESSOR and KVT_WINE_BITS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KVT_MINGW_PROCESSOR})
set(KVT_WINDOWS_COMPILER clang CACHE STRING "Compiler of the Windows builds: clang (lld, PDB) or gcc")
set_property(CACHE KVT_WINDOWS_COMPILER PROPERTY STRINGS clang gcc)

if(KVT_WINDOWS_COMPILER STREQUAL "gcc")
  set(CMAKE_C_COMPILER ${KVT_MINGW_TRIPLE}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${KVT_MINGW_TRIPLE}-g++-posix)
else()
  set(CMAKE_C_COMPILER clang)
  set(CMAKE_CXX_COMPILER clang++)
  set(CMAKE_C_COMPILER_TARGET ${KVT_MINGW_TRIPLE})
  set(CMAKE_CXX_COMPILER_TARGET ${KVT_MINGW_TRIPLE})
  # The C++ runtime is gcc's for this target (its version folder is named "12-posix", which
  # clang's search for a gcc installation does not take for a version): its headers and
  # libraries are named here, and winpthreads, which it needs, is linked as gcc links it.
  execute_process(COMMAND ${KVT_MINGW_TRIPLE}-gcc-posix -print-libgcc-file-name
                  OUTPUT_VARIABLE kvt_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(KVT_GCC_RUNTIME "${kvt_libgcc}" DIRECTORY)
  set(kvt_cxx_include ${KVT_GCC_RUNTIME}/include/c++)
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${kvt_cxx_include} -isystem ${kvt_cxx_include}/${KVT_MINGW_TRIPLE} -isystem ${kvt_cxx_include}/backward")
  # Thread-local variables as gcc makes them for this target (libgcc's emulation), so that the
  # code shares those of the C++ runtime, which gcc built. The plug-in's own code is compiled
  # with CodeView debug information (CMakeLists.txt), the rest with DWARF: clang 14's CodeView
  # record of an emulated thread-local variable names a symbol that does not exist, and the
  # tests and tools have such variables (the plug-in has none; it uses the system's slots).
  string(APPEND CMAKE_C_FLAGS_INIT " -femulated-tls")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -femulated-tls")
  foreach(kind EXE SHARED MODULE)
    # The compile flags reach the link line too, where some mean nothing.
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-fuse-ld=lld -L${KVT_GCC_RUNTIME} -Wno-unused-command-line-argument")
  endforeach()
  set(CMAKE_C_STANDARD_LIBRARIES "-lpthread" CACHE STRING "")
  set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread" CACHE STRING "")
endif()
set(CMAKE_RC_COMPILER ${KVT_MINGW_TRIPLE}-windres)
set(CMAKE_STRIP ${KVT_MINGW_TRIPLE}-strip)
# Writes the plug-in's export directory from its module-definition file (CMakeLists.txt).
set(KVT_DLLTOOL ${KVT_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${KVT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests and tools run through Wine of the build's width; the wrapper keeps the prefix inside the
# build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${KVT_WINE_BITS})
