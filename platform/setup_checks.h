#pragma once
// What the host asks the system before it can stream, beside the input helper's own probe:
// may it read the display, may it synthesize input, and is the network it streams over slowed by
// power saving. Every call is synchronous and quick (one display round trip, one ioctl), so the
// setup window can ask once a second on the main executor.

#include <memory>
#include <optional>
#include <string>

namespace ferrowin::platform {

class SetupChecks {
 public:
  virtual ~SetupChecks() = default;
  /// The capture backend can read the main display: the X display answers and a test grab of
  /// its root window succeeds.
  virtual bool screenCaptureAllowed() = 0;
  /// Synthesized pointer and key events reach the display: it answers and offers XTEST.
  virtual bool inputInjectionAllowed() = 0;
  /// The interface the host's traffic leaves through when it is Wi-Fi with power saving on
  /// (latency spikes on every wake-up); none otherwise, or when it cannot be told.
  virtual std::optional<std::string> wifiPowerSavingInterface() = 0;
};

/// The checks against the X display `display` ($DISPLAY when empty) and the kernel's routes.
std::shared_ptr<SetupChecks> makeLinuxSetupChecks(const std::string& display);

/// Checks that always answer the same (tests; hosts that never ask).
class FixedSetupChecks final : public SetupChecks {
 public:
  bool screenCapture = false;
  bool inputInjection = false;
  std::optional<std::string> powerSaving;
  bool screenCaptureAllowed() override { return screenCapture; }
  bool inputInjectionAllowed() override { return inputInjection; }
  std::optional<std::string> wifiPowerSavingInterface() override { return powerSaving; }
};

}  // namespace ferrowin::platform
