# pnv3400-bench-tessalin: round-trip times of the five entry points against a
# local pnv3400-sim, the state file's save time, and the real call bound.
add_executable(pnv3400-bench-tessalin ${CMAKE_CURRENT_LIST_DIR}/tessalin_bench.cpp)
target_link_libraries(pnv3400-bench-tessalin PRIVATE tessalin::library Qt6::Core Qt6::Network)
target_include_directories(pnv3400-bench-tessalin PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_compile_definitions(pnv3400-bench-tessalin PRIVATE PNV_DEFAULT_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
add_dependencies(pnv3400-bench-tessalin pnv3400-sim)
