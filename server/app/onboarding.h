#pragma once
// OnboardingPresenter: shows the setup window while setup is incomplete, holds the host's services
// meanwhile, and resumes them when the user finishes. It runs on the main executor; the window
// itself belongs to the user interface, which the presenter reaches through SetupWindow. Without
// a window (a headless host) it presents nothing and never holds the host.

#include <functional>
#include <memory>

#include "common/runtime/published.h"
#include "server/app/permission_monitor.h"

namespace ferrowin::app {

/// The user interface's setup window. Calls come from the main executor.
class SetupWindow {
 public:
  virtual ~SetupWindow() = default;
  virtual void show() = 0;
  virtual void hide() = 0;
};

class OnboardingPresenter : public std::enable_shared_from_this<OnboardingPresenter> {
 public:
  static std::shared_ptr<OnboardingPresenter> create(
      asio::io_context& main, std::shared_ptr<HostPermissionMonitor> permissions);

  std::function<void()> onHoldHost;
  std::function<void()> onResumeHost;

  void setWindow(std::shared_ptr<SetupWindow> window) { window_ = std::move(window); }
  bool windowVisible() const { return windowVisible_; }

  /// Refreshes; with setup incomplete, holds the host and shows the window.
  void presentIfNeeded();
  /// "Finish Setup…": holds the host and shows the window whatever the state.
  void finishSetup();
  /// "Get Started": marks setup completed, hides the window and resumes the host; does nothing
  /// while setup cannot finish.
  void getStarted();
  /// The window is closing (which quits the host): stops the refresh timer.
  void windowWillClose();

 private:
  OnboardingPresenter(asio::io_context& main, std::shared_ptr<HostPermissionMonitor> permissions);
  void refreshAndProbe();
  void show();
  void finish();

  asio::io_context& main_;
  std::shared_ptr<HostPermissionMonitor> permissions_;
  std::shared_ptr<SetupWindow> window_;
  bool windowVisible_ = false;
  common::ObserverToken completedObservation_;
};

}  // namespace ferrowin::app
