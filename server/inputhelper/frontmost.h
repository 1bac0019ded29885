#pragma once
// The front application as the Steam-support rule sees it. X11 sends no notification when the
// active window changes hands, so the watcher asks HostInfo once a second and reports changes.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/runtime/clock.h"
#include "common/runtime/repeating_timer.h"
#include "platform/host_info.h"

namespace ferrowin::inputhelper {

/// The identifier Steam's client windows go by.
inline constexpr const char* kSteamHelperBundleID = "com.valvesoftware.steam.helper";

/// The application's identifier: Steam's client (its "steam" and "steamwebhelper" programs or
/// windows of class "Steam") is kSteamHelperBundleID; otherwise the window class, else the
/// executable's file name.
std::optional<std::string> frontmostBundleIdentifier(
    const std::optional<platform::FrontmostApplication>& application);

class FrontmostWatcher {
 public:
  using OnChange = std::function<void(const std::optional<std::string>& bundleID)>;

  /// Polls on the executor behind `timers`; `onChange` runs there when the identifier changes.
  FrontmostWatcher(std::shared_ptr<platform::HostInfo> hostInfo, const common::Clock& clock,
                   common::TimerFactory& timers, OnChange onChange);

  /// The identifier now (asks HostInfo; may block briefly on the display).
  std::optional<std::string> current() const;
  /// Starts polling from `initial`, the value the owner already has.
  void start(std::optional<std::string> initial);
  void stop() { timer_.stop(); }

 private:
  void poll();

  std::shared_ptr<platform::HostInfo> hostInfo_;
  OnChange onChange_;
  std::optional<std::string> last_;
  common::RepeatingTimer timer_;
};

}  // namespace ferrowin::inputhelper
