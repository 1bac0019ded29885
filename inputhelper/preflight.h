#pragma once
// "--preflight": may this process synthesize input, and may it create a virtual HID device? The
// answer is one JSON line on standard output, which the host decodes.

#include <functional>
#include <string>

#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper {

struct InputHelperPreflightResult {
  bool accessibilityTrusted = false;
  bool virtualHIDAvailable = false;
};

/// Accessibility is asked only when prompting (otherwise false); the HID probe creates an Xbox
/// gamepad and cancels it again, and is skipped (false) without `probeHID`.
InputHelperPreflightResult runPreflight(bool promptAccessibility, bool probeHID,
                                        const std::function<bool()>& accessibilityTrusted,
                                        VirtualGamepadFactory& gamepads);

/// {"accessibilityTrusted":…,"virtualHIDAvailable":…} and a newline.
std::string encodePreflightLine(const InputHelperPreflightResult& result);

}  // namespace ferrowin::inputhelper
