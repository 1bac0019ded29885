#include "inputhelper/packets.h"

namespace ferrowin::inputhelper {

namespace {

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void putU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool matches(std::span<const uint8_t> d, size_t size, uint32_t magic, uint8_t version) {
  return d.size() == size && u32(d.data()) == magic && d[4] == version;
}

std::optional<VirtualTextPacket> text(std::span<const uint8_t> d) {
  if (d.size() < kTextHeaderSize || u32(d.data()) != kTextMagic || d[4] != 1) return std::nullopt;
  const size_t length = u16(d.data() + 6);
  if (length == 0 || length > kTextMaxBytes || d.size() != kTextHeaderSize + length) {
    return std::nullopt;
  }
  std::string bytes(reinterpret_cast<const char*>(d.data() + kTextHeaderSize), length);
  if (!isValidUtf8(bytes)) return std::nullopt;
  return VirtualTextPacket{u32(d.data() + 8), std::move(bytes)};
}

}  // namespace

std::optional<InboundPacket> classifyDatagram(std::span<const uint8_t> d) {
  if (d.size() < 5) return std::nullopt;
  const uint8_t* p = d.data();
  if (matches(d, kGamepadDatagramSize, kGamepadMagic, 1)) {
    VirtualGamepadPacket packet;
    packet.sequence = u32(p + 8);
    packet.report = {u16(p + 12), p[14], p[15], p[16], p[17], p[18], p[19], p[20]};
    return packet;
  }
  if (matches(d, kLookDatagramSize, kLookMagic, 1)) {
    return VirtualLookPacket{p[6], p[7], static_cast<int16_t>(u16(p + 8)),
                             static_cast<int16_t>(u16(p + 10))};
  }
  if (matches(d, kMouseDatagramSize, kMouseMagic, 2)) {
    return VirtualMousePacket{p[5], u16(p + 6), u16(p + 8), static_cast<int8_t>(p[10]),
                              u32(p + 11)};
  }
  if (matches(d, kKeyDatagramSize, kKeyMagic, 1)) {
    return VirtualKeyPacket{p[5], u16(p + 6), u32(p + 8)};
  }
  if (auto packet = text(d)) return std::move(*packet);
  return std::nullopt;
}

std::array<uint8_t, kRumblePacketSize> encodeRumblePacket(const RumbleMotors& motors,
                                                          uint32_t sequence) {
  std::array<uint8_t, kRumblePacketSize> out{};
  putU32(out.data(), kRumbleMagic);
  out[4] = 1;
  out[8] = motors.m0;
  out[9] = motors.m1;
  out[10] = motors.m2;
  out[11] = motors.m3;
  putU16(out.data() + 12, motors.duration);
  putU32(out.data() + 14, sequence);
  return out;
}

}  // namespace ferrowin::inputhelper
