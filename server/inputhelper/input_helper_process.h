#pragma once
// InputHelperProcess: the host's manager of the FerrowinInputHelper child. It keeps at most one
// helper running for the wanted input session, replaces it when the session changes, feeds it
// JSON lines on its standard input (allowlist, geometry, look tuning, Steam support), copies its
// standard error into the host log, and stops it with SIGTERM, then SIGKILL after 2 s. It also
// runs the helper's one-shot preflight probe.
//
// Everything here runs on the main executor; the public coroutines are awaited there. Only the
// writes to the helper's standard input run elsewhere, on the queue
// "com.zavel.ferrowin.input-helper.stdin", so lines never interleave.
//
// Spawns and stops take a ticket from lifecycleGeneration and check it after every await: a
// request that arrives while an earlier one is still under way supersedes it, and the earlier one
// gives up instead of adopting a second helper.

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/device_profile.h"
#include "common/helper_stdin.h"
#include "common/pointer_geometry.h"
#include "common/runtime/clock.h"
#include "common/runtime/flow.h"
#include "common/runtime/published.h"
#include "common/runtime/serial_queue.h"
#include "platform/child_process.h"
#include "platform/host_info.h"
#include "server/inputhelper/frontmost.h"
#include "server/inputhelper/helper_output.h"
#include "server/video/input_sessions.h"

namespace ferrowin::inputhelper {

inline constexpr const char* kHelperProgramName = "FerrowinInputHelper";

class InputHelperProcess : public video::InputSessionTarget,
                           public std::enable_shared_from_this<InputHelperProcess> {
 public:
  struct Dependencies {
    asio::io_context& main;
    common::TimerFactory& timers;  // the main executor's
    const common::Clock& clock = common::SteadyClock::instance();
    /// The front application for the Steam rule; none = never known.
    std::shared_ptr<platform::HostInfo> hostInfo;
    /// Use this file as the helper instead of looking beside the host executable.
    std::optional<std::filesystem::path> helperPath;
    /// Leftover processes with these names are ended before every spawn.
    std::vector<std::string> staleHelperNames = {"FerrowinInputHelper", "FerrowinInputHelper-dev"};
  };

  static std::shared_ptr<InputHelperProcess> create(Dependencies dependencies);
  ~InputHelperProcess() override;

  common::Published<bool> isRunning;
  common::Published<std::string> statusMessage;
  common::Published<std::optional<common::DeviceProfile>> activeProfile;
  /// The running helper's session has the virtual gamepad (what "Destroy Gamepad" releases).
  common::Published<bool> sessionHasGamepad;

  /// The helper's UDP port; the host sets it to the control port + 2.
  uint16_t port = 52347;
  /// The gamepad failsafe timeout passed to the helper.
  int64_t timeoutMs = 1000;

  /// Makes the helper match this session; a request without either HID flag does nothing.
  asio::awaitable<void> ensureSession(common::DeviceProfile profile, bool gamepadHID,
                                      bool mouseHID) override;
  /// The video client is gone: a remap session falls back to its gamepad (or stops); a
  /// gamepad-only session stays.
  asio::awaitable<void> endSession() override;
  /// Session release or "Destroy Gamepad": a session with the mouse keeps it (or stops); one
  /// without the gamepad, or no session, is left alone.
  asio::awaitable<void> releaseGamepad();
  /// Stops the helper and waits for it (SIGTERM, SIGKILL after 2 s).
  asio::awaitable<void> stop();

  /// Runs the helper in preflight mode; none when it is missing, fails, says nothing or takes
  /// longer than 3 s.
  asio::awaitable<std::optional<InputHelperPreflightResult>> preflight(bool promptAccessibility,
                                                                       bool skipHID);

  /// Ends helpers left over by earlier runs (same user only).
  void killStaleHelpers();

  /// Stores the (sorted) authenticated addresses and writes the allowlist line.
  void setAllowedPeers(std::vector<std::string> peers);
  /// Stores the clamped look settings and writes the remap-look line.
  void setRemapLook(const common::GamepadRemapLookTuning& settings);
  void pushGeometry(const std::optional<common::CapturePointerGeometry>& geometry) override;
  void setClientSteamSupport(bool enabled) override { clientSteamSupport_ = enabled; }
  /// Writes the Steam-support line when its effective value changed, or always when forced.
  void pushSteamSupport(bool force) override;
  void pushStoredLookSettings() override;
  /// The front application changed (called by the watcher; callable directly).
  void frontmostApplicationChanged(std::optional<std::string> bundleID);

  /// The session the running helper was started for (gamepad HID, mouse HID).
  bool sessionGamepadHID() const { return sessionGamepadHID_; }
  bool sessionMouseHID() const { return sessionMouseHID_; }
  /// The running helper's pid, or -1.
  int helperPid() const { return process_ ? process_->pid() : -1; }

 private:
  explicit InputHelperProcess(Dependencies dependencies);

  asio::awaitable<void> spawn(common::DeviceProfile profile, bool gamepadHID, bool mouseHID);
  std::optional<std::filesystem::path> locateHelper() const;
  bool running() const;
  void clearSession();
  void onTermination(int pid, int status);
  void forwardStandardError(int fd);
  void cancelStandardError();
  /// Waits up to `seconds` (polling every 20 ms) for `child` to exit.
  asio::awaitable<bool> waitForExit(std::shared_ptr<platform::ChildProcess> child, double seconds);
  void sendSignal(platform::ChildProcess& child, int signo);
  /// Writes `line` on the write queue; `failure` prefixes the error text, `success` is logged
  /// after the last byte is out.
  void write(std::string line, std::string failure, std::string success);

  Dependencies deps_;
  std::shared_ptr<platform::ChildProcess> process_;
  struct StandardErrorReader;
  std::shared_ptr<StandardErrorReader> stderrReader_;
  std::shared_ptr<platform::PipeWriter> stdinWriter_;
  bool geometrySkipLogged_ = false;  // said once per stretch without a helper
  std::optional<common::GamepadRemapLookTuning> lastRemapLookSettings_;
  bool clientSteamSupport_ = true;
  std::optional<std::string> frontmostBundleID_;
  std::optional<bool> pushedSteamSupport_;
  std::vector<std::string> allowedPeers_;
  std::optional<common::DeviceProfile> sessionProfile_;
  bool sessionGamepadHID_ = false;
  bool sessionMouseHID_ = false;
  std::map<int, std::shared_ptr<platform::ChildProcess>> ownedProcesses_;
  common::Generation lifecycleGeneration_;
  FrontmostWatcher frontmostObserver_;
  // Last member: destroyed (and joined) first, so queued writes never outlive what they use.
  common::SerialQueue writeQueue_{"com.zavel.ferrowin.input-helper.stdin"};
};

}  // namespace ferrowin::inputhelper
