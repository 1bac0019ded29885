#pragma once
// A headless Wayland desktop with its real ScreenCast portal, for system tests: a session bus,
// PipeWire with its session manager, sway on the headless backend (one output, HEADLESS-1, that
// swaybg paints one colour), xdg-desktop-portal-wlr granting that output without a dialog, and
// xdg-desktop-portal itself, each started explicitly (started on demand, the portal takes longer
// than a D-Bus call waits) with everything in a private directory. sway refuses to run as root:
// a root test runs the desktop as the unprivileged user "nobody", and the portal's client too
// (runAsUser).

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class SwaySession {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;
  static constexpr uint32_t kBackground = 0x3050A0;  // what swaybg paints, RGB

  /// Empty when everything is installed, else what is missing (for the skip message).
  static std::string missing();

  SwaySession();
  ~SwaySession();
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

  /// Starts the desktop and its portal and waits until the portal owns its name.
  bool start(double timeoutSeconds = 30.0);
  void stop();
  std::string busAddress() const { return "unix:path=" + (dir_ / "bus").string(); }
  /// A directory the session's user may write.
  const TempDir& directory() const { return dir_; }
  /// Every daemon's output.
  std::string log() const;

  /// Runs `work` in a child process as the session's user and answers what it answered (empty
  /// for success), or why the child failed.
  std::string runAsUser(const std::function<std::string()>& work) const;

 private:
  std::vector<std::string> environment() const;
  pid_t spawn(std::vector<std::string> args, std::vector<std::string> extraEnvironment = {});
  bool ownsName(const std::string& name) const;

  TempDir dir_;
  std::vector<pid_t> daemons_;  // in the order started
  std::string waylandDisplay_;
};

}  // namespace ferrowin::testing
