# pnv_add_qtest(NAME SOURCES... LIBS ...): one Qt Test executable registered with CTest.
function(pnv_add_qtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=qt.qpa.*=false;PNV_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PNV_SOURCE_DIR=${CMAKE_SOURCE_DIR};XDG_STATE_HOME=${CMAKE_BINARY_DIR}/test-state/${name}")
endfunction()
