#include "tests/inputhelper/session_doubles.h"

#include <asio/ip/udp.hpp>

namespace ferrowin::inputhelper::testing {

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

void FakeGamepad::setOnRumble(std::function<void(const RumbleMotors&)> onRumble) {
  std::lock_guard guard(lock_);
  onRumble_ = std::move(onRumble);
}

void FakeGamepad::cancel() {
  std::lock_guard guard(lock_);
  cancelled = true;
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

}  // namespace ferrowin::inputhelper::testing
