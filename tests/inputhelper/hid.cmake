# The virtual HID gamepad and mouse, their reports, the UHID backend against a fake kernel, and
# the mouse injector against the recording pointer injector.
ferrowin_add_test(inputhelper_hid_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/hid_reports_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/uhid_devices_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mouse_injector_test.cpp
  DEPS
    ferrowin_inputhelper_hid ferrowin_platform_uhid ferrowin_platform_x11_input
    ferrowin_test_support)
