#pragma once
// Shared by the setup and shell tests: the main executor on a thread of its own (as the shell
// runs it), a private copy of the real input helper, and a setup window that records its calls.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "common/runtime/main_executor.h"
#include "server/app/onboarding.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class MainThread {
 public:
  MainThread() : thread_([this] { main.run(); }) {}
  ~MainThread() {
    main.stop();
    thread_.join();
  }

  /// Runs `work` on the main executor and answers its result.
  template <class F>
  auto onMain(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    main.post([&task] { task(); });
    return result.get();
  }

  common::MainExecutor main;

 private:
  // Keeps the executor running while idle.
  asio::executor_work_guard<asio::io_context::executor_type> work_{main.executor()};
  std::thread thread_;
};

/// Polls `predicate` (every 10 ms) for up to `seconds`.
template <class Predicate>
bool waitUntil(Predicate predicate, double seconds = 10.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

/// The real helper under a name of its own, so no sweep of leftover helpers ends another test's.
inline std::filesystem::path privateHelperCopy(const TempDir& dir, const std::string& tag) {
  const auto path = dir / ("FerrowinInputHelper-" + tag + std::to_string(::getpid()));
  std::filesystem::copy_file(FERROWIN_BINARY_DIR "/bin/FerrowinInputHelper", path);
  return path;
}

class RecordingSetupWindow final : public app::SetupWindow {
 public:
  void show() override { ++shown; visible = true; }
  void hide() override { visible = false; }
  std::atomic<int> shown{0};
  std::atomic<bool> visible{false};
};

}  // namespace ferrowin::testing
