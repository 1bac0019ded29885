# Keyboard injection: the keyboard tables, and the injector with the XTest backends against a
# private Xvfb.
ferrowin_add_test(inputhelper_keys_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/x11_input_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/xvfb_display.cpp
  DEPS
    ferrowin_inputhelper_keys ferrowin_platform_x11_input ferrowin_platform_x11_test_client
    ferrowin_test_support)
