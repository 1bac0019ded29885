#include "inputhelper/gamepad_factory.h"

#include "inputhelper/gamepad_device.h"
#include "inputhelper/gamepad_sink.h"

namespace ferrowin::inputhelper {

namespace {

constexpr uint8_t kBatteryStrength = 0x87;

class HIDGamepad final : public VirtualGamepadDevice {
 public:
  explicit HIDGamepad(std::shared_ptr<FerrowinVirtualGamepad> device)
      : device_(std::move(device)) {}

  std::shared_ptr<GamepadSink> makeSink() override {
    return std::make_shared<DeviceSink>(device_, device_->profile());
  }
  void setOnRumble(std::function<void(const RumbleMotors&)> onRumble) override {
    device_->setOnRumble([onRumble = std::move(onRumble)](uint8_t strong, uint8_t weak,
                                                          uint8_t leftTrigger, uint8_t rightTrigger,
                                                          uint16_t ms) {
      onRumble(RumbleMotors{strong, weak, leftTrigger, rightTrigger, ms});
    });
  }
  void steamSupportTurnedOff() override { device_->sendUSBNeutralAndGuideReleased(); }
  void cancel() override { device_->cancel(); }

 private:
  std::shared_ptr<FerrowinVirtualGamepad> device_;
};

class Factory final : public VirtualGamepadFactory {
 public:
  explicit Factory(std::shared_ptr<platform::VirtualHIDBackend> backend)
      : backend_(std::move(backend)) {}

  Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> create(
      common::DeviceProfile profile) override {
    auto device = FerrowinVirtualGamepad::create(profile, *backend_);
    if (!device) return make_unexpected(DeviceError{device.error().description()});
    auto& gamepad = *device;
    gamepad->activate();
    if (auto sent = gamepad->send(VirtualGamepadInputReport{}); !sent) {
      gamepad->cancel();
      return make_unexpected(DeviceError{sent.error().description()});
    }
    if (profile == common::DeviceProfile::xbox)
      (void)gamepad->sendBatteryStrength(kBatteryStrength);
    return std::shared_ptr<VirtualGamepadDevice>(std::make_shared<HIDGamepad>(gamepad));
  }

  void setXboxUSBReports(bool enabled) override { XboxUSBReports::shared().setEnabled(enabled); }

 private:
  std::shared_ptr<platform::VirtualHIDBackend> backend_;
};

}  // namespace

std::shared_ptr<VirtualGamepadFactory> makeVirtualGamepadFactory(
    std::shared_ptr<platform::VirtualHIDBackend> backend) {
  return std::make_shared<Factory>(std::move(backend));
}

}  // namespace ferrowin::inputhelper
