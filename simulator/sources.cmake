# The simulator library's sources, named once for the product build
# (simulator/CMakeLists.txt) and the clang fuzz project (fuzz/CMakeLists.txt).
set(PNV_SIMULATOR_SOURCES
  ConfigRules.h ConfigRules.cpp
  StateFile.h StateFile.cpp
  FaultPlan.h FaultPlan.cpp
  EncoderDevice.h EncoderDevice.cpp
  SessionLog.h SessionLog.cpp
  SocketWatch.h SocketWatch.cpp
  ClientSession.h ClientSession.cpp
  EncoderServer.h EncoderServer.cpp
  Fleet.h Fleet.cpp
  Batch.h Batch.cpp)
list(TRANSFORM PNV_SIMULATOR_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
