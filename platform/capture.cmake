# Screen capture: the synthetic test-pattern backend and the shared frame plumbing (pool, pacer,
# placement), and the X11 backend over XCB.
find_library(FERROWIN_LIBYUV yuv REQUIRED)
ferrowin_add_library(ferrowin_platform_capture
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/capture_frames.cpp
    ${CMAKE_CURRENT_LIST_DIR}/synthetic/synthetic_capture.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS ${FERROWIN_LIBYUV})
