#include "client/input/input_datagrams.h"

namespace ferrowin::client {

namespace {

using namespace inputhelper;

void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Magic and version; the bytes the layout marks as ignored stay zero.
Datagram header(size_t size, uint32_t magic, uint8_t version) {
  Datagram out(size, 0);
  putU32(out.data(), magic);
  out[4] = version;
  return out;
}

}  // namespace

Datagram encodeGamepadDatagram(const inputhelper::VirtualGamepadPacket& packet) {
  auto out = header(kGamepadDatagramSize, kGamepadMagic, 1);
  const auto& r = packet.report;
  putU32(&out[8], packet.sequence);
  putU16(&out[12], r.buttons);
  out[14] = r.hat;
  out[15] = r.leftX;
  out[16] = r.leftY;
  out[17] = r.rightX;
  out[18] = r.rightY;
  out[19] = r.leftTrigger;
  out[20] = r.rightTrigger;
  return out;
}

Datagram encodeLookDatagram(const inputhelper::VirtualLookPacket& packet) {
  auto out = header(kLookDatagramSize, kLookMagic, 1);
  out[6] = packet.stickX;
  out[7] = packet.stickY;
  putU16(&out[8], static_cast<uint16_t>(packet.gyroX));
  putU16(&out[10], static_cast<uint16_t>(packet.gyroY));
  return out;
}

Datagram encodeMouseDatagram(const inputhelper::VirtualMousePacket& packet) {
  auto out = header(kMouseDatagramSize, kMouseMagic, 2);
  out[5] = packet.flags;
  putU16(&out[6], packet.x);
  putU16(&out[8], packet.y);
  out[10] = static_cast<uint8_t>(packet.wheel);
  putU32(&out[11], packet.sequence);
  return out;
}

Datagram encodeKeyDatagram(const inputhelper::VirtualKeyPacket& packet) {
  auto out = header(kKeyDatagramSize, kKeyMagic, 1);
  out[5] = packet.flags;
  putU16(&out[6], packet.keyCode);
  putU32(&out[8], packet.sequence);
  return out;
}

Expected<Datagram, InputError> encodeTextDatagram(const inputhelper::VirtualTextPacket& packet) {
  const auto& text = packet.text;
  if (text.empty() || text.size() > kTextMaxBytes) {
    return make_unexpected(InputError{"text must be 1 to 256 bytes of UTF-8, got " +
                                      std::to_string(text.size()) + " bytes"});
  }
  if (!isValidUtf8(text)) return make_unexpected(InputError{"text is not valid UTF-8"});
  auto out = header(kTextHeaderSize + text.size(), kTextMagic, 1);
  putU16(&out[6], static_cast<uint16_t>(text.size()));
  putU32(&out[8], packet.sequence);
  std::copy(text.begin(), text.end(), out.begin() + kTextHeaderSize);
  return out;
}

std::optional<RumbleDatagram> parseRumbleDatagram(std::span<const uint8_t> d) {
  if (d.size() != kRumblePacketSize || u32(d.data()) != kRumbleMagic || d[4] != 1) {
    return std::nullopt;
  }
  return RumbleDatagram{{d[8], d[9], d[10], d[11], u16(&d[12])}, u32(&d[14])};
}

}  // namespace ferrowin::client
