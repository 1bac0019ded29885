#include "platform/linux/setup_checks_linux.h"

#include <linux/wireless.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "platform/linux/x11_connection.h"
#include "platform/setup_checks.h"

namespace ferrowin::platform {

std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute) {
  std::istringstream lines{std::string(procNetRoute)};
  std::string line;
  std::getline(lines, line);  // the column titles
  std::optional<std::string> best;
  unsigned long bestMetric = std::numeric_limits<unsigned long>::max();
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string interface, destination, gateway, flags, refCount, use, metricText, mask;
    if (!(fields >> interface >> destination >> gateway >> flags >> refCount >> use >>
          metricText >> mask))
      continue;
    constexpr unsigned long kRouteUp = 0x1;
    char* end = nullptr;
    const unsigned long routeFlags = std::strtoul(flags.c_str(), &end, 16);
    if (*end != '\0' || !(routeFlags & kRouteUp)) continue;
    if (destination != "00000000" || mask != "00000000") continue;
    const unsigned long metric = std::strtoul(metricText.c_str(), &end, 10);
    if (*end != '\0') continue;
    if (!best || metric < bestMetric) {
      best = interface;
      bestMetric = metric;
    }
  }
  return best;
}

bool isWirelessInterface(const std::filesystem::path& sysClassNet, const std::string& interface) {
  std::error_code error;
  return std::filesystem::exists(sysClassNet / interface / "wireless", error) ||
         std::filesystem::exists(sysClassNet / interface / "phy80211", error);
}

namespace {

// Power management as the wireless extensions report it (cfg80211 answers for every driver).
std::optional<bool> powerSavingOn(const std::string& interface) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  iwreq request{};
  std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  const int result = ioctl(fd, SIOCGIWPOWER, &request);
  close(fd);
  if (result < 0) return std::nullopt;
  return request.u.power.disabled == 0;
}

// One connection kept open across checks (made again once it broke): a server whose last client
// leaves resets, and refuses connections while it does, so connecting afresh for every check
// could fail against a display that is there.
class LinuxSetupChecks final : public SetupChecks {
 public:
  explicit LinuxSetupChecks(std::string display) : display_(std::move(display)) {}

  bool screenCaptureAllowed() override {
    x11::X11Connection* connection = connect();
    if (!connection) return false;
    xcb_connection_t* c = connection->get();
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection->root(), 0, 0, 1, 1, ~0u),
        nullptr);
    const bool grabbed = image != nullptr;
    std::free(image);
    return grabbed;
  }

  bool inputInjectionAllowed() override {
    x11::X11Connection* connection = connect();
    return connection && connection->hasExtension(&xcb_test_id);
  }

  std::optional<std::string> wifiPowerSavingInterface() override {
    std::ifstream file("/proc/net/route");
    std::stringstream text;
    text << file.rdbuf();
    auto interface = defaultRouteInterface(text.str());
    if (!interface || !isWirelessInterface("/sys/class/net", *interface)) return std::nullopt;
    if (powerSavingOn(*interface).value_or(false)) return interface;
    return std::nullopt;
  }

 private:
  x11::X11Connection* connect() {
    if (!connection_ || connection_->broken()) connection_ = x11::X11Connection::open(display_);
    return connection_.get();
  }

  std::string display_;
  std::unique_ptr<x11::X11Connection> connection_;
};

class GrantedSetupChecks final : public SetupChecks {
 public:
  GrantedSetupChecks(std::shared_ptr<SetupChecks> checks, std::shared_ptr<ScreenCaptureGrant> grant)
      : checks_(std::move(checks)), grant_(std::move(grant)) {}

  bool screenCaptureAllowed() override { return grant_ && grant_->granted(); }
  bool inputInjectionAllowed() override { return checks_->inputInjectionAllowed(); }
  std::optional<std::string> wifiPowerSavingInterface() override {
    return checks_->wifiPowerSavingInterface();
  }
  void requestScreenCapture() override {
    if (grant_) grant_->requestAgain();
  }
  void setChangeHandler(std::function<void()> handler) override {
    if (grant_) grant_->setChangeHandler(std::move(handler));
  }

 private:
  std::shared_ptr<SetupChecks> checks_;
  std::shared_ptr<ScreenCaptureGrant> grant_;
};

}  // namespace

std::shared_ptr<SetupChecks> makeLinuxSetupChecks(const std::string& display) {
  return std::make_shared<LinuxSetupChecks>(display);
}

std::shared_ptr<SetupChecks> withCaptureGrant(std::shared_ptr<SetupChecks> checks,
                                              std::shared_ptr<ScreenCaptureGrant> grant) {
  return std::make_shared<GrantedSetupChecks>(std::move(checks), std::move(grant));
}

}  // namespace ferrowin::platform
