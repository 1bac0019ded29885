#pragma once
// Shared by the setup and shell tests: the main executor on a thread of its own (as the shell
// runs it), a private copy of the real input helper, and a setup window that records its calls.

#include <unistd.h>

#include <atomic>
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
  std::thread thread_;
};

/// The real helper under a name of its own, so no sweep of leftover helpers ends another test's.
inline std::filesystem::path privateHelperCopy(const TempDir& dir, const std::string& tag) {
  const auto path = dir / ("FerrowinInputHelper-" + tag + std::to_string(::getpid()));
  std::filesystem::copy_file(FERROWIN_BINARY_DIR "/bin/FerrowinInputHelper", path);
  return path;
}

class RecordingSetupWindow final : public app::SetupWindow {
 public:
  void show() override { visible = true; }
  void hide() override { visible = false; }
  std::atomic<bool> visible{false};
};

}  // namespace ferrowin::testing
