// The host name from the kernel; the front application from the X display named by $DISPLAY
// (the executable and WM_CLASS of the front-most normal window). Without a display there is none.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/host_info.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_windows.h"

namespace ferrowin::platform {

namespace {

class LinuxHostInfo final : public HostInfo {
 public:
  std::string hostName() override {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
  }

  std::optional<FrontmostApplication> frontmostApplication() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!connection_ || connection_->broken()) connection_ = x11::X11Connection::open(display);
    if (!connection_) return std::nullopt;
    auto front = x11::frontmostWindow(*connection_);
    if (!front) return std::nullopt;
    FrontmostApplication application;
    if (!front->className.empty()) application.bundleId = front->className;
    application.executablePath = std::move(front->executable);
    application.localizedName = std::move(front->instanceName);
    return application;
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<x11::X11Connection> connection_;
};

}  // namespace

std::shared_ptr<HostInfo> makeLinuxHostInfo() { return std::make_shared<LinuxHostInfo>(); }

}  // namespace ferrowin::platform
