#pragma once
// Recording doubles of what an input session drives: the mouse and keyboard injectors and the
// virtual gamepad. Thread-safe; tests read them while the session's queues run.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper::testing {

/// Waits up to `seconds` for `predicate`, re-checking every millisecond.
bool eventually(const std::function<bool()>& predicate, double seconds = 5.0);

/// A UDP port that was free a moment ago.
uint16_t freeUdpPort();

/// An input datagram as a client sends it: the magic as its four bytes on the wire ("PMGV" for
/// the gamepad), the version byte, then `rest`.
std::vector<uint8_t> datagram(std::string_view magic, uint8_t version,
                              std::initializer_list<uint8_t> rest);
/// A key datagram (flags 1 = down) and a text datagram, with their sequence numbers.
std::vector<uint8_t> keyDatagram(uint16_t keyCode, bool down, uint32_t sequence);
std::vector<uint8_t> textDatagram(const std::string& text, uint32_t sequence);

class RecordingSink final : public GamepadSink {
 public:
  void apply(const VirtualGamepadInputReport& report) override;
  std::vector<VirtualGamepadInputReport> reports() const;

 private:
  mutable std::mutex lock_;
  std::vector<VirtualGamepadInputReport> reports_;
};

class RecordingMouse final : public MouseInput {
 public:
  void handle(const VirtualMousePacket& packet) override;
  void postRelative(int16_t dx, int16_t dy) override;
  Expected<void, DeviceError> prepareHIDMouse() override;
  void teardownHIDMouse() override;
  void releaseAll() override;

  std::vector<VirtualMousePacket> packets() const;
  std::vector<std::pair<int16_t, int16_t>> motions() const;
  /// "prepare", "teardown", "releaseAll" in call order.
  std::vector<std::string> calls() const;
  void failPrepare(std::string reason);

 private:
  mutable std::mutex lock_;
  std::vector<VirtualMousePacket> packets_;
  std::vector<std::pair<int16_t, int16_t>> motions_;
  std::vector<std::string> calls_;
  std::string prepareFailure_;
};

class RecordingKeyboard final : public KeyboardInput {
 public:
  void handleKey(const VirtualKeyPacket& packet) override;
  void typeText(uint32_t sequence, const std::string& text) override;
  void releaseAll() override;

  std::vector<uint16_t> keyCodes() const;
  std::vector<std::string> texts() const;
  int releases() const;

 private:
  mutable std::mutex lock_;
  std::vector<uint16_t> keyCodes_;
  std::vector<std::string> texts_;
  int releases_ = 0;
};

class FakeGamepad final : public VirtualGamepadDevice {
 public:
  std::shared_ptr<GamepadSink> makeSink() override { return sink; }
  void setOnRumble(std::function<void(const RumbleMotors&)> onRumble) override;
  void steamSupportTurnedOff() override;
  void cancel() override;

  void rumble(const RumbleMotors& motors);
  bool cancelled() const;
  int steamOffCount() const;

  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();

 private:
  mutable std::mutex lock_;
  std::function<void(const RumbleMotors&)> onRumble_;
  bool cancelled_ = false;
  int steamOff_ = 0;
};

class FakeGamepadFactory final : public VirtualGamepadFactory {
 public:
  Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> create(
      common::DeviceProfile profile) override;
  void setXboxUSBReports(bool enabled) override;

  void failWith(std::string reason) { failure_ = std::move(reason); }
  std::shared_ptr<FakeGamepad> last() const;
  std::vector<bool> usbReportSettings() const;

 private:
  mutable std::mutex lock_;
  std::string failure_;
  std::shared_ptr<FakeGamepad> last_;
  std::vector<bool> usbReports_;
};

}  // namespace ferrowin::inputhelper::testing
