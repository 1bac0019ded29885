# What setup asks the system (setup_checks.h): the X display (or the desktop portal's grant) for
# capture and XTEST, the default route's Wi-Fi power saving. FixedSetupChecks in the header is the
# double.
pkg_check_modules(FERROWIN_SETUP_CHECKS REQUIRED IMPORTED_TARGET xcb xcb-xtest)
ferrowin_add_library(ferrowin_platform_setup_checks
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/setup_checks_linux.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS ferrowin_platform_x11_input PkgConfig::FERROWIN_SETUP_CHECKS)
