# Fails unless LIBRARY exports exactly the five entry points (as listed in
# tessalin_entry_points.h) under their plain
# names: a Linux library by its dynamic symbol table (nm), or, with OBJDUMP
# (the mingw-w64 objdump) given, a Windows DLL by its export name table,
# where a decorated name (_S_Connect@12) would not match either.
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  # The name table: lines "[   n] NAME" after "[Ordinal/Name Pointer] Table", up to a blank line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([^\n]+\n)*)" table "${listing}")
  set(listing "${CMAKE_MATCH_1}")
  set(before_name "^.*\\][ \t]+")
else()
  find_program(NM nm REQUIRED)
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  set(before_name "^.* ")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list the exports of ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "${before_name}" "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
include(${CMAKE_CURRENT_LIST_DIR}/../../tessalin/Tessalin.cmake)
set(expected ${TESSALIN_ENTRY_POINTS})
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exports of ${LIBRARY}: ${names}")
