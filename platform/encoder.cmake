# HEVC encoding through FFmpeg (hardware encoders when present, libx265 otherwise), and the
# BGRA -> YUV 4:2:0 conversion in front of it.
pkg_check_modules(FERROWIN_FFMPEG_ENCODE REQUIRED IMPORTED_TARGET libavcodec libavutil)
ferrowin_add_library(ferrowin_platform_encoder
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/ffmpeg_hevc_encoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/yuv_conversion.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_FFMPEG_ENCODE)
