# One wrapper per kind of target, so every target gets the same warnings, sanitizers and
# declared dependencies.
#
#   ferrowin_add_library(name SOURCES ... DEPS ...)        static library, include root = repo root
#   ferrowin_add_executable(name SOURCES ... DEPS ...)
#   ferrowin_add_test(name SOURCES ... DEPS ... [LABELS ...] [TIMEOUT s])   GoogleTest binary + ctest
#   ferrowin_add_fuzzer(name SOURCES ... DEPS ... [CORPUS dir])
#   ferrowin_add_bench(name SOURCES ... DEPS ...)           Google Benchmark binary (not a test)

function(ferrowin_apply_common target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
    -Wno-missing-field-initializers)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(FERROWIN_FUZZ)
    # Coverage instrumentation for everything a fuzzer links; the fuzzer itself adds the driver.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  if(FERROWIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(FERROWIN_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(FERROWIN_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage -O0)
    target_link_options(${target} PRIVATE --coverage)
  endif()
endfunction()

function(ferrowin_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  ferrowin_apply_common(${name})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()

function(ferrowin_add_executable name)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  ferrowin_apply_common(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
  # Both programs live side by side in bin/ so the host finds its helper next to itself.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endfunction()

function(ferrowin_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  ferrowin_apply_common(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    FERROWIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    FERROWIN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# With FERROWIN_FUZZ (clang) the target is a real libFuzzer binary. Otherwise it is linked with
# fuzz/replay_main.cpp, which feeds it every corpus file plus a fixed set of pseudo-random inputs,
# and runs as an ordinary test, so the corpus is replayed in every CI run.
function(ferrowin_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  ferrowin_apply_common(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(NOT TARGET all_fuzzers)
    add_custom_target(all_fuzzers)
  endif()
  add_dependencies(all_fuzzers ${name})
  if(FERROWIN_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # "binary corpus" lines for the fuzzing campaign (fuzz/campaign), written by fuzz/.
    set_property(GLOBAL APPEND_STRING PROPERTY FERROWIN_FUZZERS
                 "$<TARGET_FILE:${name}> ${ARG_CORPUS}\n")
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    set(corpus_arg)
    if(ARG_CORPUS)
      set(corpus_arg ${PROJECT_SOURCE_DIR}/fuzz/corpus/${ARG_CORPUS})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${corpus_arg})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
  endif()
endfunction()

function(ferrowin_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT FERROWIN_BENCH)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  ferrowin_apply_common(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endfunction()
