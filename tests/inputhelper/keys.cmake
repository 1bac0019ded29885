# Keyboard injection and the XTest backends: tables and injector logic against the recording
# injector, and system tests against a private Xvfb.
ferrowin_add_test(inputhelper_keys_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/keyboard_tables_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/keyboard_injector_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/x11_input_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xvfb_display.cpp
  DEPS
    ferrowin_inputhelper_keys ferrowin_platform_x11_input ferrowin_platform_x11_test_client
    ferrowin_test_support)
# The real program typing into a window; it needs the virtual HID seam to start a session.
if(TARGET ferrowin_inputhelper_program AND TARGET ferrowin_inputhelper_hid)
  target_sources(inputhelper_keys_tests PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/helper_keys_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/helper_process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/session_doubles.cpp)
  target_link_libraries(inputhelper_keys_tests PRIVATE ferrowin_inputhelper_core)
  add_dependencies(inputhelper_keys_tests ferrowin_inputhelper_program)
endif()
