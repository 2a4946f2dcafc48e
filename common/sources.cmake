# The shared library's sources, named once for the product build
# (common/CMakeLists.txt) and the clang fuzz project (fuzz/CMakeLists.txt).
set(PNV_COMMON_SOURCES
  AppError.h AppError.cpp
  IntConversion.h IntConversion.cpp
  ControlCharacters.h
  Messages.h Messages.cpp
  SignalWatch.h SignalWatch.cpp
  StandardStreams.h StandardStreams.cpp)
list(TRANSFORM PNV_COMMON_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
