# Host name and front application (host_info.h); the scripted double is fake/fake_host_info.h.
ferrowin_add_library(ferrowin_platform_host_info
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/host_info_linux.cpp
  DEPS ferrowin_common
  PRIVATE_DEPS ferrowin_platform_x11_input)
