# Host name and front application (host_info.h), and the scripted double for tests.
ferrowin_add_library(ferrowin_platform_host_info
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/host_info_linux.cpp
  DEPS ferrowin_common)
