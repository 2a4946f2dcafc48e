# The framing both halves of the bridge speak, named once for the product
# build (bridge/CMakeLists.txt) and the clang fuzz project (fuzz/CMakeLists.txt).
set(PNV_BRIDGEFRAME_SOURCES BridgeFrame.h BridgeFrame.cpp)
list(TRANSFORM PNV_BRIDGEFRAME_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
