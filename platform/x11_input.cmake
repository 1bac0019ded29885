# Synthesized pointer and key events: XTest on $DISPLAY (input_injection.h), and the recording
# doubles of both injectors for tests.
pkg_check_modules(FERROWIN_X11_INPUT REQUIRED IMPORTED_TARGET xcb xcb-xtest)
ferrowin_add_library(ferrowin_platform_x11_input
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_connection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_key_injector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_pointer_injector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_windows.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fake/recording_injectors.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_X11_INPUT)

# A real X client for system tests (a focused window that records the keys and buttons it gets).
ferrowin_add_library(ferrowin_platform_x11_test_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/x11_test_client.cpp
  DEPS ferrowin_platform_x11_input
  PRIVATE_DEPS PkgConfig::FERROWIN_X11_INPUT)
