# Desktop entries, launching and icons for the application catalog (applications.h).
pkg_check_modules(FERROWIN_GIO REQUIRED IMPORTED_TARGET gio-unix-2.0)
pkg_check_modules(FERROWIN_GDK_PIXBUF REQUIRED IMPORTED_TARGET GLOBAL gdk-pixbuf-2.0)
ferrowin_add_library(ferrowin_platform_applications
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/gio_applications.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS PkgConfig::FERROWIN_GIO PkgConfig::FERROWIN_GDK_PIXBUF)
