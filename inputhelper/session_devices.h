#pragma once
// What an input session needs of the devices and injectors around it. The program wires these to
// the virtual HID gamepad and mouse and the XTest keyboard; tests wire recording doubles.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/device_profile.h"
#include "common/util/expected.h"
#include "inputhelper/gamepad_applier.h"
#include "inputhelper/packets.h"

namespace ferrowin::inputhelper {

struct DeviceError {
  std::string message;
  const std::string& description() const { return message; }
};

/// The mouse injector. handle() and postRelative() only enqueue work; the others may wait for it.
class MouseInput {
 public:
  virtual ~MouseInput() = default;
  virtual void handle(const VirtualMousePacket& packet) = 0;
  virtual void postRelative(int16_t dx, int16_t dy) = 0;
  virtual Expected<void, DeviceError> prepareHIDMouse() = 0;
  virtual void teardownHIDMouse() = 0;
  virtual void releaseAll() = 0;
};

/// The keyboard injector; every call only enqueues work.
class KeyboardInput {
 public:
  virtual ~KeyboardInput() = default;
  virtual void handleKey(const VirtualKeyPacket& packet) = 0;
  virtual void typeText(uint32_t sequence, const std::string& text) = 0;
  virtual void releaseAll() = 0;
};

/// One live virtual gamepad.
class VirtualGamepadDevice {
 public:
  virtual ~VirtualGamepadDevice() = default;
  /// A sink translating reports for this device, with fresh guide-button state.
  virtual std::shared_ptr<GamepadSink> makeSink() = 0;
  /// Called on the device's thread whenever a game drives the motors.
  virtual void setOnRumble(std::function<void(const RumbleMotors&)> onRumble) = 0;
  /// Steam support went from on to off: the neutral USB state and a released guide button.
  virtual void steamSupportTurnedOff() = 0;
  /// Destroys the device; returns once no callback can run any more.
  virtual void cancel() = 0;
};

class VirtualGamepadFactory {
 public:
  virtual ~VirtualGamepadFactory() = default;
  /// Creates and activates a device and sends its initial reports.
  virtual Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> create(
      common::DeviceProfile profile) = 0;
  /// The process-wide switch for the Xbox profile's USB (GIP) reports.
  virtual void setXboxUSBReports(bool enabled) = 0;
};

}  // namespace ferrowin::inputhelper
