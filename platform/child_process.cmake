# Child processes with pipes, and the process-table scan for leftover helpers (child_process.h).
ferrowin_add_library(ferrowin_platform_child_process
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/linux/child_process.cpp
  DEPS ferrowin_common)
