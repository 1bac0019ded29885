#pragma once
// The desktop shell: Qt owns the process's main thread, the host's main executor runs on a thread
// of its own, a tray icon drops down the status window, and the setup window appears while setup
// is incomplete. Nothing here is reached with --headless.

#include <functional>
#include <memory>
#include <string>

#include "common/runtime/main_executor.h"
#include "server/app/host_services.h"

namespace ferrowin::ui {

/// Whether Qt can show windows here: a platform was chosen (QT_QPA_PLATFORM), or an X or Wayland
/// display is named. Otherwise `why` says what is missing.
bool displayAvailable(std::string& why);

struct ShellContext {
  int argc = 0;
  char** argv = nullptr;
  common::MainExecutor* main = nullptr;
  std::shared_ptr<app::HostServices> services;
  /// Runs on the main executor once the windows exist: present setup, start the services.
  std::function<void()> start;
  /// Runs on the main executor when the user quits: stops the helper, then the executor.
  std::function<void()> stop;
};

/// Runs the Qt application and the main executor until one of them ends; returns after both have.
int runShell(ShellContext context);

}  // namespace ferrowin::ui
