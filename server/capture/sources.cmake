# Sans-I/O pieces of capture and encoding: the encoder session's pacing, and the capture sizes and
# the capture-source manager with its thumbnails.
ferrowin_add_library(ferrowin_capture_encoding
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/encoder_session.cpp
  DEPS ferrowin_common ferrowin_protocol ferrowin_platform_encoder)

pkg_check_modules(FERROWIN_TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
ferrowin_add_library(ferrowin_capture_sources
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/capture_size.cpp
    ${CMAKE_CURRENT_LIST_DIR}/capture_sources.cpp
    ${CMAKE_CURRENT_LIST_DIR}/jpeg.cpp
  DEPS ferrowin_common ferrowin_protocol ferrowin_platform_capture
  PRIVATE_DEPS PkgConfig::FERROWIN_TURBOJPEG)

# The screen streamer: capture, the encoder session and the video server's stream-source interface.
ferrowin_add_library(ferrowin_capture_streamer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/screen_streamer.cpp
  DEPS ferrowin_capture_encoding ferrowin_capture_sources ferrowin_video ferrowin_platform_capture
    ferrowin_platform_encoder ferrowin_audio ferrowin_platform_audio)

# Virtual displays: the monitor and its arrangements, and the service that makes one for a client.
ferrowin_add_library(ferrowin_capture_virtual_display
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/virtual_display.cpp
    ${CMAKE_CURRENT_LIST_DIR}/virtual_display_service.cpp
  DEPS ferrowin_capture_streamer ferrowin_platform_virtual_display)
