#pragma once
// Pieces of the Linux setup checks that read files, exposed for tests.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ferrowin::platform {

/// The interface of the IPv4 default route in /proc/net/route's text (the lowest metric wins);
/// none without one.
std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute);

/// Whether `interface` is a Wi-Fi interface, by its sysfs entry under `sysClassNet`.
bool isWirelessInterface(const std::filesystem::path& sysClassNet, const std::string& interface);

}  // namespace ferrowin::platform
