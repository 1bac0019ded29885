# Sans-I/O pieces of capture and encoding: bitstream framing, the encoder session's pacing, and the
# capture-source manager.
ferrowin_add_library(ferrowin_capture_encoding
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/annexb.cpp
  DEPS ferrowin_common)
