#pragma once
// Facts about the computer the host runs on: its name and the application in front. On Linux the
// front application is the process of the X11 active window (_NET_ACTIVE_WINDOW, _NET_WM_PID,
// WM_CLASS, /proc/<pid>/exe); without a display there is none.

#include <memory>
#include <optional>
#include <string>

namespace ferrowin::platform {

struct FrontmostApplication {
  std::optional<std::string> bundleId;        // the window's WM_CLASS class name
  std::optional<std::string> executablePath;  // absolute path of its executable
  std::string localizedName;                  // the window's WM_CLASS instance name
};

class HostInfo {
 public:
  virtual ~HostInfo() = default;
  /// Callable from any thread.
  virtual std::string hostName() = 0;
  /// Callable from any thread; may block briefly on the display.
  virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
};

std::shared_ptr<HostInfo> makeLinuxHostInfo();

}  // namespace ferrowin::platform
