#pragma once
// Input datagrams (client → helper) and the rumble datagram (helper → client), as decoded values.
// The byte layouts, the classifier and the encoder live in packets.cpp.

#include <cstdint>
#include <string>

namespace ferrowin::inputhelper {

/// Bytes 12-20 of a gamepad datagram; also what the gamepad sink applies.
struct VirtualGamepadInputReport {
  uint16_t buttons = 0;
  uint8_t hat = 8;  // 0-7 direction, 8 centred
  uint8_t leftX = 0x80;
  uint8_t leftY = 0x80;
  uint8_t rightX = 0x80;
  uint8_t rightY = 0x80;
  uint8_t leftTrigger = 0;
  uint8_t rightTrigger = 0;
  bool operator==(const VirtualGamepadInputReport&) const = default;
};

struct VirtualGamepadPacket {
  uint32_t sequence = 0;
  VirtualGamepadInputReport report;
};

struct VirtualLookPacket {
  uint8_t stickX = 0x80;
  uint8_t stickY = 0x80;
  int16_t gyroX = 0;
  int16_t gyroY = 0;
};

struct VirtualMousePacket {
  uint8_t flags = 0;  // bit 0 left, bit 1 right, bit 2 relative (HID), bit 3 middle
  uint16_t x = 0;
  uint16_t y = 0;
  int8_t wheel = 0;
  uint32_t sequence = 0;
};

struct VirtualKeyPacket {
  uint8_t flags = 0;
  uint16_t keyCode = 0;  // macOS virtual key code
  uint32_t sequence = 0;
};

struct VirtualTextPacket {
  uint32_t sequence = 0;
  std::string text;  // valid, non-empty UTF-8, 1 to 256 bytes
};

}  // namespace ferrowin::inputhelper
