# What both builds of the device library share: its source lists and the
# names of its five entry points. Included by tessalin/CMakeLists.txt
# (libtessalin.so), by bridge/windows (Tessalin.DLL, with mingw-w64), by the
# clang fuzz project (fuzz/) and by tests/support/CheckExports.cmake, so that the two libraries are built from
# one list and checked against one list. Only the platform seam differs:
# PlatformPosix.cpp or PlatformWin32.cpp.

set(TESSALIN_DIR ${CMAKE_CURRENT_LIST_DIR})

# The names, read from the one list in the public header.
file(READ ${TESSALIN_DIR}/include/tessalin_entry_points.h tessalin_text)
string(REGEX MATCHALL "\n +X\\([A-Za-z_]+," tessalin_rows "${tessalin_text}")
set(TESSALIN_ENTRY_POINTS)
foreach(row IN LISTS tessalin_rows)
  string(REGEX REPLACE "[^(]*\\(([A-Za-z_]+)," "\\1" name "${row}")
  list(APPEND TESSALIN_ENTRY_POINTS ${name})
endforeach()
list(LENGTH TESSALIN_ENTRY_POINTS tessalin_count)
if(NOT tessalin_count EQUAL 5)
  message(FATAL_ERROR "tessalin_entry_points.h: five entry points expected, read: ${TESSALIN_ENTRY_POINTS}")
endif()

if(CMAKE_SCRIPT_MODE_FILE)
  return()
endif()

# The wire-protocol codec, shared with the simulator.
set(TESSALIN_CODEC_SOURCES WireFrame.h WireFrame.cpp NetworkConfig.h NetworkConfig.cpp)
# The protocol code, the same on every system.
set(TESSALIN_CORE_SOURCES
  Platform.h
  Deadline.h Deadline.cpp
  AddressText.h AddressText.cpp
  CallGate.h CallGate.cpp
  EncoderLink.h EncoderLink.cpp)
# The platform seam, one per system.
set(TESSALIN_POSIX_SOURCES PlatformPosix.cpp)
set(TESSALIN_WIN32_SOURCES PlatformWin32.cpp)
# The exported entry points themselves.
set(TESSALIN_LIBRARY_SOURCES EntryPoints.cpp)
foreach(list CODEC CORE POSIX WIN32 LIBRARY)
  list(TRANSFORM TESSALIN_${list}_SOURCES PREPEND ${TESSALIN_DIR}/)
endforeach()

# tessalin_export_list(OUTPUT FORMAT [EXTRA name...]): writes the list of
# what a library exports, the five entry points and EXTRA: a GNU linker
# version script (FORMAT map) or a Windows module definition (FORMAT def),
# where plain names keep the DLL's exports undecorated.
function(tessalin_export_list output format)
  set(names ${TESSALIN_ENTRY_POINTS} ${ARGN})
  list(REMOVE_ITEM names EXTRA)
  if(format STREQUAL "map")
    list(JOIN names ";\n    " body)
    set(text "{\n  global:\n    ${body};\n  local:\n    *;\n};\n")
  else()
    list(JOIN names "\n    " body)
    set(text "LIBRARY Tessalin.DLL\nEXPORTS\n    ${body}\n")
  endif()
  file(CONFIGURE OUTPUT ${output} CONTENT "${text}" @ONLY)
endfunction()
