# Sans-I/O pieces of capture and encoding: bitstream framing, and the capture-source manager with
# its thumbnails.
ferrowin_add_library(ferrowin_capture_encoding
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/annexb.cpp
  DEPS ferrowin_common)

pkg_check_modules(FERROWIN_TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
ferrowin_add_library(ferrowin_capture_sources
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/capture_sources.cpp
    ${CMAKE_CURRENT_LIST_DIR}/jpeg.cpp
  DEPS ferrowin_common ferrowin_platform_capture
  PRIVATE_DEPS PkgConfig::FERROWIN_TURBOJPEG)
