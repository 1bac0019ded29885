#pragma once
// A scripted HostInfo.

#include <mutex>

#include "platform/host_info.h"

namespace ferrowin::platform {

class FakeHostInfo final : public HostInfo {
 public:
  std::string name = "test-host";
  std::optional<FrontmostApplication> frontmost;

  std::string hostName() override { return name; }
  std::optional<FrontmostApplication> frontmostApplication() override { return frontmost; }
};

}  // namespace ferrowin::platform
