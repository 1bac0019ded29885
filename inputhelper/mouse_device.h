#pragma once
// FerrowinVirtualMouse: a relative HID mouse (three buttons, X/Y, wheel) that games read like a
// real one. Used by the mouse injector's relative path and the look remapper.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/util/expected.h"
#include "inputhelper/gamepad_device.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

/// 62 bytes, no report id; input report: buttons, X, Y, wheel (signed bytes, Y down).
std::span<const uint8_t> mouseReportDescriptor();
platform::VirtualHIDProperties mouseProperties();

/// The reports that carry one motion: a single report when there is no motion, else as many as
/// it takes with each axis cut into chunks of [-128, 127].
std::vector<std::array<uint8_t, 4>> mouseReports(int dx, int dy, bool left, bool right, bool middle,
                                                 int wheel);

/// Not thread-safe: the mouse injector's queue owns it.
class FerrowinVirtualMouse {
 public:
  static Expected<std::unique_ptr<FerrowinVirtualMouse>, VirtualHIDDeviceError> create(
      platform::VirtualHIDBackend& backend);
  ~FerrowinVirtualMouse();
  FerrowinVirtualMouse(const FerrowinVirtualMouse&) = delete;
  FerrowinVirtualMouse& operator=(const FerrowinVirtualMouse&) = delete;

  void activate();
  /// Stops at the first rejected report.
  Expected<void, VirtualHIDDeviceError> send(int dx, int dy, bool left, bool right, bool middle,
                                             int wheel);
  void cancel();
  bool isActivated() const { return isActivated_; }

 private:
  FerrowinVirtualMouse() = default;
  std::unique_ptr<platform::VirtualHIDDevice> device_;
  std::atomic<bool> cancelled_{false};
  bool isActivated_ = false;
};

}  // namespace ferrowin::inputhelper
