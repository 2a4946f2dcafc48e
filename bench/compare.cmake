# The programs `bash bench/compare.sh` runs: each figure of the utility beside
# a baseline built for it (see bench/README.md).
add_executable(pnv3400-baseline-window ${CMAKE_CURRENT_LIST_DIR}/baseline_window.cpp ${CMAKE_CURRENT_LIST_DIR}/FirstPaint.h)
target_link_libraries(pnv3400-baseline-window PRIVATE Qt6::Widgets)

add_executable(pnv3400-bench-firstpaint ${CMAKE_CURRENT_LIST_DIR}/firstpaint_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/FirstPaint.h)
target_link_libraries(pnv3400-bench-firstpaint PRIVATE pnv::app)
add_dependencies(pnv3400-bench-firstpaint tessalin)

add_executable(pnv3400-wire-baseline ${CMAKE_CURRENT_LIST_DIR}/wire_baseline.c ${CMAKE_CURRENT_LIST_DIR}/round_trip_timing.h)
target_link_libraries(pnv3400-wire-baseline PRIVATE tessalin::headers)

add_executable(pnv3400-bench-libread ${CMAKE_CURRENT_LIST_DIR}/lib_roundtrip.c ${CMAKE_CURRENT_LIST_DIR}/round_trip_timing.h)
target_link_libraries(pnv3400-bench-libread PRIVATE tessalin::library)
add_dependencies(pnv3400-bench-libread pnv3400-sim)

add_executable(pnv3400-bench-decode ${CMAKE_CURRENT_LIST_DIR}/decode_compare.cpp
  ${CMAKE_CURRENT_LIST_DIR}/baseline_decode.c ${CMAKE_CURRENT_LIST_DIR}/baseline_decode.h)
target_link_libraries(pnv3400-bench-decode PRIVATE pnv::picture JPEG::JPEG)
target_compile_definitions(pnv3400-bench-decode PRIVATE PNV_RESOURCES_DIR="${CMAKE_SOURCE_DIR}/resources")
