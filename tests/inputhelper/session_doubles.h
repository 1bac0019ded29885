#pragma once
// Recording doubles of what an input session drives: the mouse and keyboard injectors and the
// virtual gamepad. Thread-safe; tests read them while the session's queues run.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper::testing {

/// A UDP port that was free a moment ago.
uint16_t freeUdpPort();

/// An input datagram as a client sends it: the magic as its four bytes on the wire ("PMGV" for
/// the gamepad), the version byte, then `rest`.
std::vector<uint8_t> datagram(std::string_view magic, uint8_t version,
                              std::initializer_list<uint8_t> rest);
/// A key datagram (flags 1 = down) and a text datagram, with their sequence numbers.
std::vector<uint8_t> keyDatagram(uint16_t keyCode, bool down, uint32_t sequence);
std::vector<uint8_t> textDatagram(const std::string& text, uint32_t sequence);

/// What one thread appends and another reads.
template <class T>
class Log {
 public:
  void add(T item) {
    std::lock_guard guard(lock_);
    items_.push_back(std::move(item));
  }
  std::vector<T> get() const {
    std::lock_guard guard(lock_);
    return items_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<T> items_;
};

class RecordingSink final : public GamepadSink {
 public:
  void apply(const VirtualGamepadInputReport& report) override { reports.add(report); }
  Log<VirtualGamepadInputReport> reports;
};

class RecordingMouse final : public MouseInput {
 public:
  void handle(const VirtualMousePacket& packet) override { packets.add(packet); }
  void postRelative(int16_t dx, int16_t dy) override { motions.add({dx, dy}); }
  Expected<void, DeviceError> prepareHIDMouse() override {
    calls.add("prepare");
    if (!prepareFailure.empty()) return make_unexpected(DeviceError{prepareFailure});
    return {};
  }
  void teardownHIDMouse() override { calls.add("teardown"); }
  void releaseAll() override { calls.add("releaseAll"); }

  Log<VirtualMousePacket> packets;
  Log<std::pair<int16_t, int16_t>> motions;
  Log<std::string> calls;      // "prepare", "teardown", "releaseAll" in call order
  std::string prepareFailure;  // set before the session starts
};

class RecordingKeyboard final : public KeyboardInput {
 public:
  void handleKey(const VirtualKeyPacket& packet) override { keyCodes.add(packet.keyCode); }
  void typeText(uint32_t, const std::string& text) override { texts.add(text); }
  void releaseAll() override { ++releases; }

  Log<uint16_t> keyCodes;
  Log<std::string> texts;
  std::atomic<int> releases = 0;
};

class FakeGamepad final : public VirtualGamepadDevice {
 public:
  std::shared_ptr<GamepadSink> makeSink() override { return sink; }
  void setOnRumble(std::function<void(const RumbleMotors&)> onRumble) override;
  void steamSupportTurnedOff() override { ++steamOffs; }
  void cancel() override;
  /// A game driving the motors.
  void rumble(const RumbleMotors& motors);

  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::atomic<bool> cancelled = false;
  std::atomic<int> steamOffs = 0;

 private:
  std::mutex lock_;
  std::function<void(const RumbleMotors&)> onRumble_;
};

class FakeGamepadFactory final : public VirtualGamepadFactory {
 public:
  Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> create(
      common::DeviceProfile) override {
    if (!failure.empty()) return make_unexpected(DeviceError{failure});
    auto pad = std::make_shared<FakeGamepad>();
    created.add(pad);
    return pad;
  }
  void setXboxUSBReports(bool enabled) override { usbReports.add(enabled); }
  std::shared_ptr<FakeGamepad> last() const { return created.get().back(); }

  std::string failure;  // set before the session starts
  Log<std::shared_ptr<FakeGamepad>> created;
  Log<bool> usbReports;
};

}  // namespace ferrowin::inputhelper::testing
