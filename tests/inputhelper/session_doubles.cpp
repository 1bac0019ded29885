#include "tests/inputhelper/session_doubles.h"

#include <asio/ip/udp.hpp>
#include <chrono>
#include <thread>

namespace ferrowin::inputhelper::testing {

bool eventually(const std::function<bool()>& predicate, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

uint16_t freeUdpPort() {
  asio::io_context context;
  asio::ip::udp::socket socket(context, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
  return socket.local_endpoint().port();
}

std::vector<uint8_t> datagram(std::string_view magic, uint8_t version,
                              std::initializer_list<uint8_t> rest) {
  std::vector<uint8_t> bytes(magic.begin(), magic.end());
  bytes.push_back(version);
  bytes.insert(bytes.end(), rest);
  return bytes;
}

static void appendU32(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> keyDatagram(uint16_t keyCode, bool down, uint32_t sequence) {
  auto bytes = datagram("YKGV", 1,
                        {static_cast<uint8_t>(down ? 1 : 0), static_cast<uint8_t>(keyCode),
                         static_cast<uint8_t>(keyCode >> 8)});
  appendU32(bytes, sequence);
  return bytes;
}

std::vector<uint8_t> textDatagram(const std::string& text, uint32_t sequence) {
  auto bytes = datagram("CUGV", 1,
                        {0, static_cast<uint8_t>(text.size()),
                         static_cast<uint8_t>(text.size() >> 8)});
  appendU32(bytes, sequence);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

void RecordingSink::apply(const VirtualGamepadInputReport& report) {
  std::lock_guard guard(lock_);
  reports_.push_back(report);
}

std::vector<VirtualGamepadInputReport> RecordingSink::reports() const {
  std::lock_guard guard(lock_);
  return reports_;
}

void RecordingMouse::handle(const VirtualMousePacket& packet) {
  std::lock_guard guard(lock_);
  packets_.push_back(packet);
}

void RecordingMouse::postRelative(int16_t dx, int16_t dy) {
  std::lock_guard guard(lock_);
  motions_.emplace_back(dx, dy);
}

Expected<void, DeviceError> RecordingMouse::prepareHIDMouse() {
  std::lock_guard guard(lock_);
  calls_.push_back("prepare");
  if (!prepareFailure_.empty()) return make_unexpected(DeviceError{prepareFailure_});
  return {};
}

void RecordingMouse::teardownHIDMouse() {
  std::lock_guard guard(lock_);
  calls_.push_back("teardown");
}

void RecordingMouse::releaseAll() {
  std::lock_guard guard(lock_);
  calls_.push_back("releaseAll");
}

std::vector<VirtualMousePacket> RecordingMouse::packets() const {
  std::lock_guard guard(lock_);
  return packets_;
}

std::vector<std::pair<int16_t, int16_t>> RecordingMouse::motions() const {
  std::lock_guard guard(lock_);
  return motions_;
}

std::vector<std::string> RecordingMouse::calls() const {
  std::lock_guard guard(lock_);
  return calls_;
}

void RecordingMouse::failPrepare(std::string reason) {
  std::lock_guard guard(lock_);
  prepareFailure_ = std::move(reason);
}

void RecordingKeyboard::handleKey(const VirtualKeyPacket& packet) {
  std::lock_guard guard(lock_);
  keyCodes_.push_back(packet.keyCode);
}

void RecordingKeyboard::typeText(uint32_t, const std::string& text) {
  std::lock_guard guard(lock_);
  texts_.push_back(text);
}

void RecordingKeyboard::releaseAll() {
  std::lock_guard guard(lock_);
  ++releases_;
}

std::vector<uint16_t> RecordingKeyboard::keyCodes() const {
  std::lock_guard guard(lock_);
  return keyCodes_;
}

std::vector<std::string> RecordingKeyboard::texts() const {
  std::lock_guard guard(lock_);
  return texts_;
}

int RecordingKeyboard::releases() const {
  std::lock_guard guard(lock_);
  return releases_;
}

void FakeGamepad::setOnRumble(std::function<void(const RumbleMotors&)> onRumble) {
  std::lock_guard guard(lock_);
  onRumble_ = std::move(onRumble);
}

void FakeGamepad::steamSupportTurnedOff() {
  std::lock_guard guard(lock_);
  ++steamOff_;
}

void FakeGamepad::cancel() {
  std::lock_guard guard(lock_);
  cancelled_ = true;
  onRumble_ = nullptr;
}

void FakeGamepad::rumble(const RumbleMotors& motors) {
  std::function<void(const RumbleMotors&)> onRumble;
  {
    std::lock_guard guard(lock_);
    onRumble = onRumble_;
  }
  if (onRumble) onRumble(motors);
}

bool FakeGamepad::cancelled() const {
  std::lock_guard guard(lock_);
  return cancelled_;
}

int FakeGamepad::steamOffCount() const {
  std::lock_guard guard(lock_);
  return steamOff_;
}

Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> FakeGamepadFactory::create(
    common::DeviceProfile) {
  std::lock_guard guard(lock_);
  if (!failure_.empty()) return make_unexpected(DeviceError{failure_});
  last_ = std::make_shared<FakeGamepad>();
  return last_;
}

void FakeGamepadFactory::setXboxUSBReports(bool enabled) {
  std::lock_guard guard(lock_);
  usbReports_.push_back(enabled);
}

std::shared_ptr<FakeGamepad> FakeGamepadFactory::last() const {
  std::lock_guard guard(lock_);
  return last_;
}

std::vector<bool> FakeGamepadFactory::usbReportSettings() const {
  std::lock_guard guard(lock_);
  return usbReports_;
}

}  // namespace ferrowin::inputhelper::testing
