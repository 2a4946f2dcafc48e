# pnv3400-bench-startup: how long the window takes from creation to its first
# paint, and the first paint of the reset page, with the memory it then holds.
add_executable(pnv3400-bench-startup ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cpp)
target_link_libraries(pnv3400-bench-startup PRIVATE pnv::app Qt6::Test)
