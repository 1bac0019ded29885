# Bonjour advertisement (bonjour.h): the Avahi client backend, and the scripted double for tests.
pkg_check_modules(FERROWIN_AVAHI REQUIRED IMPORTED_TARGET avahi-client)
ferrowin_add_library(ferrowin_platform_bonjour
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/avahi_bonjour.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fake/fake_bonjour.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_AVAHI)
