# Every dependency comes from a Debian package (see scripts/bootstrap). No downloads.
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(tl-expected REQUIRED)
find_package(CLI11 REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SYSTEMD IMPORTED_TARGET libsystemd)

# Asio is header-only in Debian (libasio-dev) and ships no CMake config.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(ferrowin_asio INTERFACE)
target_include_directories(ferrowin_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(ferrowin_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(ferrowin_asio INTERFACE Threads::Threads)

if(FERROWIN_BENCH)
  find_package(benchmark REQUIRED)
endif()
