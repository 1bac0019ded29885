# HEVC encoding through FFmpeg (hardware encoders when present, libx265 otherwise).
pkg_check_modules(FERROWIN_FFMPEG_ENCODE REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)
ferrowin_add_library(ferrowin_platform_encoder
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/ffmpeg_hevc_encoder.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_FFMPEG_ENCODE)
