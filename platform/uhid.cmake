# Virtual HID devices over /dev/uhid (or the FERROWIN_UHID_SOCKET test seam).
ferrowin_add_library(ferrowin_platform_uhid
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/uhid_backend.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linux/uhid_events.cpp
  DEPS ferrowin_common)
