# One static library per layer of the plug-in (cmake/layers.txt), each linked to the one below.
# A layer's include path is a folder of links to exactly what its layer and the layers below hold
# (build/layers/NAME), so that an include against the direction does not compile.

file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/layers.txt KVT_LAYER_LINES REGEX "^[a-z]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/layers.txt)

set(KVT_LAYERS "")
set(KVT_VIEW_PATHS "")
set(kvt_below "")
foreach(line IN LISTS KVT_LAYER_LINES)
  string(REPLACE " " ";" words "${line}")
  list(POP_FRONT words layer)
  list(APPEND KVT_LAYERS ${layer})
  list(APPEND KVT_VIEW_PATHS ${words})

  # The view: every path of this layer and the layers below. A folder replaces the links to its
  # single files that a lower layer made (the host-facing headers inside shell/).
  set(view ${CMAKE_BINARY_DIR}/layers/${layer})
  file(REMOVE_RECURSE ${view})
  foreach(path IN LISTS KVT_VIEW_PATHS)
    string(REGEX REPLACE "/$" "" target ${path})
    get_filename_component(parent ${view}/${target} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(IS_DIRECTORY ${view}/${target} AND NOT IS_SYMLINK ${view}/${target})
      file(REMOVE_RECURSE ${view}/${target})
    endif()
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${target} ${view}/${target} SYMBOLIC)
  endforeach()

  set(sources "")
  foreach(path IN LISTS words)
    if(path MATCHES "/$")
      file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${path}*.cpp)
      list(APPEND sources ${found})
    endif()
  endforeach()
  if(layer STREQUAL "platform")
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/${KVT_PLATFORM}/*.cpp)
    list(APPEND sources ${found})
  endif()
  # The shell's application object and exports exist once, in the plug-in itself.
  list(FILTER sources EXCLUDE REGEX "/shell/(CKvtScannerApp|exports)\\.cpp$")

  if(sources)
    add_library(kvt_${layer} STATIC ${sources})
    target_include_directories(kvt_${layer} PUBLIC ${view})
    if(kvt_below)
      target_link_libraries(kvt_${layer} PUBLIC ${kvt_below})
    endif()
    set(kvt_below kvt_${layer})
  endif()
endforeach()
