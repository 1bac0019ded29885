# Run by the `layering` test (see FerrowinLayering.cmake): fails when a checked folder includes a
# header of a folder it must not depend on, or when one of its targets links such a folder's
# library (LINKS_REPORT, written at configure time).

# CHECKED is "client|protocol"; FORBIDDEN_<folder> the folders it must not include, "a|b|c".
set(violations "")
string(REPLACE "|" ";" checked_folders "${CHECKED}")
foreach(checked ${checked_folders})
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${checked}/*.h ${SOURCE_DIR}/${checked}/*.cpp
       ${SOURCE_DIR}/${checked}/*.c)
  foreach(source ${sources})
    file(STRINGS ${source} lines
         REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<](${FORBIDDEN_${checked}})/")
    file(RELATIVE_PATH name ${SOURCE_DIR} ${source})
    foreach(line ${lines})
      string(STRIP "${line}" line)
      string(APPEND violations "${name}: ${line}\n")
    endforeach()
  endforeach()
endforeach()

file(READ ${LINKS_REPORT} links)
string(APPEND violations "${links}")
if(violations)
  message(FATAL_ERROR "Layering violations:\n${violations}")
endif()
message(STATUS "Layering holds for ${CHECKED}")
