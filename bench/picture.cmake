# pnv3400-bench-picture [RESOURCES_FOLDER]: header read, first decode and first
# paint of the reset pictures, with the memory their bitmaps take.
add_executable(pnv3400-bench-picture ${CMAKE_CURRENT_LIST_DIR}/picture_bench.cpp)
target_link_libraries(pnv3400-bench-picture PRIVATE pnv::picture)
target_compile_definitions(pnv3400-bench-picture PRIVATE PNV_RESOURCES_DIR="${CMAKE_SOURCE_DIR}/resources")
