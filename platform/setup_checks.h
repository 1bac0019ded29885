#pragma once
// What the host asks the system before it can stream, beside the input helper's own probe:
// may it read the display, may it synthesize input, and is the network it streams over slowed by
// power saving. Every call is synchronous and quick (one display round trip, one ioctl), so the
// setup window can ask once a second on the main executor.

#include <functional>
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
  /// Asks for screen capture where the system can ask the user (the desktop portal) and returns
  /// at once; a later screenCaptureAllowed() tells the answer. An X display has nobody to ask.
  virtual void requestScreenCapture() {}
  /// `handler` runs, on a thread of the checks, when an answer changed without being asked (a
  /// portal grant revoked or given). An empty function removes it; it is not called once this
  /// returns with one.
  virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }
};

/// A screen-capture permission held apart from the X display: the desktop portal's grant.
class ScreenCaptureGrant {
 public:
  virtual ~ScreenCaptureGrant() = default;
  /// The grant is held and works. Quick, any thread.
  virtual bool granted() const = 0;
  /// Asks for a grant again in the background (the desktop may ask the user).
  virtual void requestAgain() = 0;
  /// As SetupChecks::setChangeHandler, for changes of granted().
  virtual void setChangeHandler(std::function<void()> handler) = 0;
};

/// The checks against the X display `display` ($DISPLAY when empty) and the kernel's routes.
std::shared_ptr<SetupChecks> makeLinuxSetupChecks(const std::string& display);

/// `checks` with screen capture answered by `grant` (none: not allowed) instead: the host captures
/// through the desktop portal, whatever the X display allows.
std::shared_ptr<SetupChecks> withCaptureGrant(std::shared_ptr<SetupChecks> checks,
                                              std::shared_ptr<ScreenCaptureGrant> grant);

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
