# The virtual HID gamepad and mouse, and the mouse injector (included by CMakeLists.txt when
# present).
ferrowin_add_library(ferrowin_inputhelper_hid
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/gamepad_descriptors.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gamepad_device.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gamepad_factory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gamepad_reports.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gamepad_sink.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mouse_device.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mouse_injector.cpp
  DEPS ferrowin_inputhelper_core ferrowin_common)
