# The file-header reader's sources, named once for the product build
# (pefile/CMakeLists.txt) and the clang fuzz project (fuzz/CMakeLists.txt).
set(PNV_PEFILE_SOURCES PeFile.h PeFile.cpp)
list(TRANSFORM PNV_PEFILE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
