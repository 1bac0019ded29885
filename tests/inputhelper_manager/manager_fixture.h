#pragma once
// Running the manager's flows on a test-owned io_context, and reading what the process table says
// about the children.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/runtime/clock.h"
#include "tests/support/log_capture.h"

namespace ferrowin::inputhelper::testing {

/// The helper program, copied once per test run under a name of its own
/// ("FerrowinInputHelper-t<pid>"), so that the manager's stale-helper sweep in these tests ends
/// only this run's children, never another test's or another user's helpers.
struct PrivateHelper {
  std::filesystem::path path;
  std::string name;
};
const PrivateHelper& privateHelper();

/// The main executor of a test: flows run on the test thread while it pumps.
class MainLoop {
 public:
  asio::io_context context;
  common::AsioTimerFactory timers{context.get_executor()};

  /// Runs `flow` to completion (false after `seconds`).
  bool run(asio::awaitable<void> flow, double seconds = 15.0);
  /// Pumps the context until `predicate` holds (false after `seconds`).
  bool pumpUntil(const std::function<bool()>& predicate, double seconds = 10.0);
  void pumpFor(double seconds);
};

/// argv of a live process, from /proc/<pid>/cmdline (empty if it is gone).
std::vector<std::string> commandLine(pid_t pid);
bool processExists(pid_t pid);
/// Live (non-zombie) processes whose executable is `path`.
std::vector<pid_t> processesRunning(const std::filesystem::path& path);

/// Log messages that contain `text`.
size_t countContaining(const ferrowin::testing::LogCapture& log, const std::string& text);

uint16_t freeUdpPort();

}  // namespace ferrowin::inputhelper::testing
