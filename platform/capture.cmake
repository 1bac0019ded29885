# Screen capture: the synthetic test-pattern backend and the shared frame plumbing (pool, pacer,
# placement), the X11 backend over XCB (its connection helper comes from the X11 input library)
# and the PipeWire backend.
find_library(FERROWIN_LIBYUV yuv REQUIRED)
pkg_check_modules(FERROWIN_X11_CAPTURE REQUIRED IMPORTED_TARGET
  xcb xcb-shm xcb-randr xcb-xfixes xcb-composite xcb-damage)
pkg_check_modules(FERROWIN_PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(FERROWIN_SPA REQUIRED IMPORTED_TARGET libspa-0.2)
pkg_check_modules(FERROWIN_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# What a PipeWire producer hands us (pixel layouts, cursor metadata): plain code over SPA's
# header-only layouts, fuzzed on its own.
ferrowin_add_library(ferrowin_platform_pipewire_frames
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/pipewire_frames.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS ${FERROWIN_LIBYUV} PkgConfig::FERROWIN_SPA)

ferrowin_add_library(ferrowin_platform_capture
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/capture_frames.cpp
    ${CMAKE_CURRENT_LIST_DIR}/synthetic/synthetic_capture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_capture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/pipewire_capture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/screencast_portal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/portal_capture.cpp
  DEPS ferrowin_common ferrowin_platform_x11_input ferrowin_platform_pipewire_frames
  PRIVATE_DEPS ${FERROWIN_LIBYUV} PkgConfig::FERROWIN_X11_CAPTURE PkgConfig::FERROWIN_PIPEWIRE
    PkgConfig::FERROWIN_SYSTEMD)

# A real X client for capture system tests (solid-coloured windows with chosen properties).
ferrowin_add_library(ferrowin_platform_capture_paint_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/x11_paint_client.cpp
  DEPS ferrowin_platform_x11_input
  PRIVATE_DEPS PkgConfig::FERROWIN_X11_CAPTURE)
