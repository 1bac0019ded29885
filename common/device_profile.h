#pragma once
// The virtual gamepad profile, shared by the host and the helper. The text forms travel on the
// helper's command line and appear in the host's logs.

#include <optional>
#include <string_view>

namespace ferrowin::common {

enum class DeviceProfile { generic, xbox };

constexpr std::string_view deviceProfileText(DeviceProfile profile) {
  return profile == DeviceProfile::generic ? "generic" : "xbox";
}

constexpr std::optional<DeviceProfile> deviceProfileFromText(std::string_view text) {
  if (text == "generic") return DeviceProfile::generic;
  if (text == "xbox") return DeviceProfile::xbox;
  return std::nullopt;
}

}  // namespace ferrowin::common
