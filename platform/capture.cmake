# Screen capture: the synthetic test-pattern backend and the shared frame plumbing (pool, pacer,
# placement), and the X11 backend over XCB (its connection helper comes from the X11 input
# library).
find_library(FERROWIN_LIBYUV yuv REQUIRED)
pkg_check_modules(FERROWIN_X11_CAPTURE REQUIRED IMPORTED_TARGET
  xcb xcb-shm xcb-randr xcb-xfixes xcb-composite xcb-damage)
ferrowin_add_library(ferrowin_platform_capture
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/capture_frames.cpp
    ${CMAKE_CURRENT_LIST_DIR}/synthetic/synthetic_capture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_capture.cpp
  DEPS ferrowin_common ferrowin_platform_x11_input
  PRIVATE_DEPS ${FERROWIN_LIBYUV} PkgConfig::FERROWIN_X11_CAPTURE)

# A real X client for capture system tests (solid-coloured windows with chosen properties).
ferrowin_add_library(ferrowin_platform_capture_paint_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/x11_paint_client.cpp
  DEPS ferrowin_platform_x11_input
  PRIVATE_DEPS PkgConfig::FERROWIN_X11_CAPTURE)
