# System audio capture (audio_capture.h): the PulseAudio backend (also PipeWire's PulseAudio
# server) and the synthetic tone.
pkg_check_modules(FERROWIN_PULSE REQUIRED IMPORTED_TARGET libpulse)
ferrowin_add_library(ferrowin_platform_audio
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/audio_capture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/synthetic/synthetic_audio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/pulse_audio_capture.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_PULSE)

# A tone played into a sink, for system tests, the demo's checks and benchmarks.
pkg_check_modules(FERROWIN_PULSE_SIMPLE_TONE REQUIRED IMPORTED_TARGET libpulse-simple)
ferrowin_add_library(ferrowin_platform_pulse_tone_player
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/pulse_tone_player.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_PULSE_SIMPLE_TONE)
