#pragma once
// The gamepad applier's sink for a live virtual gamepad.

#include <memory>

#include "common/device_profile.h"
#include "inputhelper/gamepad_applier.h"
#include "inputhelper/gamepad_device.h"

namespace ferrowin::inputhelper {

/// Feeds the virtual gamepad; does nothing once the device is gone. A failed report is printed
/// on standard output and the session goes on.
class DeviceSink final : public GamepadSink {
 public:
  DeviceSink(std::weak_ptr<FerrowinVirtualGamepad> owned, common::DeviceProfile profile)
      : owned_(std::move(owned)), profile_(profile) {}
  void apply(const VirtualGamepadInputReport& report) override;

 private:
  std::weak_ptr<FerrowinVirtualGamepad> owned_;
  common::DeviceProfile profile_;
  XboxGuideState guideState_;
};

}  // namespace ferrowin::inputhelper
