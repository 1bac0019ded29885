# Keyboard injection: the key tables, the poster that turns flagged key events into X key presses,
# and KeyboardInjector. Included by inputhelper/CMakeLists.txt.
ferrowin_add_library(ferrowin_inputhelper_keys
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/keyboard_tables.cpp
    ${CMAKE_CURRENT_LIST_DIR}/keyboard_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/keyboard_injector.cpp
  DEPS ferrowin_common)
