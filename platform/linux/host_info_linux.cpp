// The host name from the kernel. The front application needs the window list of the display,
// which this backend does not read yet: it reports none, as on a host without a display.
#include <unistd.h>

#include <climits>

#include "platform/host_info.h"

namespace ferrowin::platform {

namespace {

class LinuxHostInfo final : public HostInfo {
 public:
  std::string hostName() override {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
  }
  std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
};

}  // namespace

std::shared_ptr<HostInfo> makeLinuxHostInfo() { return std::make_shared<LinuxHostInfo>(); }

}  // namespace ferrowin::platform
