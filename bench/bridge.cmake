# pnv3400-bench-bridge: the read round trip and the start through the Wine
# bridge (libtessalin-bridge.so with our Tessalin.DLL) beside the same through
# libtessalin.so; `bash bench/compare.sh --only bridge`.
add_executable(pnv3400-bench-bridge ${CMAKE_CURRENT_LIST_DIR}/bridge_roundtrip.c ${CMAKE_CURRENT_LIST_DIR}/round_trip_timing.h)
target_link_libraries(pnv3400-bench-bridge PRIVATE tessalin::headers ${CMAKE_DL_LIBS})
add_dependencies(pnv3400-bench-bridge tessalin tessalin-bridge pnv3400-sim)
