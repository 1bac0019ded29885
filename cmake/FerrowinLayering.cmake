# The layering test: the reference client builds on common/ and protocol/ only, and protocol/
# on common/ only. Included at the end of the top-level CMakeLists.txt, once every target exists.
#
# At configure time each checked folder's targets are followed through their link libraries; every
# target reached that was defined in a forbidden folder is written to layering/links.txt. The test
# itself (cmake/CheckLayering.cmake) scans the sources for forbidden includes when it runs, so a
# new include fails without a reconfigure.

# Targets defined in the CMake directories at or below `folder` (relative to the source root),
# whether the folder itself is a CMake directory (client/) or only holds some (server/<module>/).
function(ferrowin_targets_in folder out)
  set(targets)
  set(pending ${PROJECT_SOURCE_DIR})
  while(pending)
    list(POP_FRONT pending dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${subdirs})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${dir})
    if(relative STREQUAL folder OR relative MATCHES "^${folder}/")
      get_property(here DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
      list(APPEND targets ${here})
    endif()
  endwhile()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Every target `target` links, directly or through others.
function(ferrowin_linked_targets target out)
  set(seen)
  set(pending ${target})
  while(pending)
    list(POP_FRONT pending current)
    get_target_property(libs ${current} LINK_LIBRARIES)
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    foreach(lib IN LISTS libs interface)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" lib "${lib}")
      if(TARGET "${lib}" AND NOT lib IN_LIST seen)
        list(APPEND seen ${lib})
        list(APPEND pending ${lib})
      endif()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# Folders (relative to the source root) and the folders each may neither include nor link.
set(FERROWIN_LAYERING_CHECKED client protocol)
set(FERROWIN_LAYERING_FORBIDDEN_client server inputhelper platform)
set(FERROWIN_LAYERING_FORBIDDEN_protocol server client inputhelper platform)

function(ferrowin_add_layering_test)
  set(report "")
  set(forbidden_args)
  foreach(checked ${FERROWIN_LAYERING_CHECKED})
    set(forbidden_targets)
    foreach(folder ${FERROWIN_LAYERING_FORBIDDEN_${checked}})
      ferrowin_targets_in(${folder} targets)
      list(APPEND forbidden_targets ${targets})
    endforeach()
    ferrowin_targets_in(${checked} checked_targets)
    foreach(target ${checked_targets})
      ferrowin_linked_targets(${target} linked)
      foreach(lib ${linked})
        if(lib IN_LIST forbidden_targets)
          string(APPEND report "${checked}/ target ${target} links ${lib}\n")
        endif()
      endforeach()
    endforeach()
    string(REPLACE ";" "|" forbidden "${FERROWIN_LAYERING_FORBIDDEN_${checked}}")
    list(APPEND forbidden_args "-DFORBIDDEN_${checked}=${forbidden}")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/layering/links.txt "${report}")
  string(REPLACE ";" "|" checked "${FERROWIN_LAYERING_CHECKED}")
  add_test(NAME layering
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DLINKS_REPORT=${PROJECT_BINARY_DIR}/layering/links.txt
      -DCHECKED=${checked} ${forbidden_args}
      -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayering.cmake)
  set_tests_properties(layering PROPERTIES TIMEOUT 60)
endfunction()
