# The encoder module's sources, named once for the product build
# (encoder/CMakeLists.txt) and the clang fuzz project (fuzz/CMakeLists.txt),
# which takes the records (plain bytes and numbers) without the binding.
set(PNV_ENCODER_RECORD_SOURCES
  EncoderResult.h
  ConfigFields.h
  ConfigRecords.h ConfigRecords.cpp)
set(PNV_ENCODER_LINK_SOURCES
  EncoderLink.h EncoderLink.cpp
  TessalinBinding.h TessalinBinding.cpp)
foreach(list RECORD LINK)
  list(TRANSFORM PNV_ENCODER_${list}_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
endforeach()
