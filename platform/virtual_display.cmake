# Virtual monitors and display arrangement: the RandR backend over XCB, the backend without
# virtual monitors, and the scripted double for tests (which shows its displays through the
# synthetic capture backend).
pkg_check_modules(FERROWIN_X11_RANDR REQUIRED IMPORTED_TARGET xcb xcb-randr)
ferrowin_add_library(ferrowin_platform_virtual_display
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/virtual_display.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/x11_virtual_display.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fake/fake_virtual_displays.cpp
  DEPS ferrowin_common ferrowin_platform_capture
  PRIVATE_DEPS ferrowin_platform_x11_input PkgConfig::FERROWIN_X11_RANDR)
