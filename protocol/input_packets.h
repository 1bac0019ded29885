#pragma once
// The input datagrams (client → input helper) and the rumble datagram (helper → client): the
// decoded values, magic numbers and sizes both sides build on. Every multi-byte field is
// little-endian. The helper's classifier and rumble encoder are in inputhelper/packets.h, the
// client's encoders and rumble parser in client/input/input_datagrams.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// Magic numbers: 32-bit little-endian values that spell four letters read from the top byte.
inline constexpr uint32_t kGamepadMagic = 0x56474D50;  // VGMP
inline constexpr uint32_t kLookMagic = 0x56474D4C;     // VGML
inline constexpr uint32_t kMouseMagic = 0x56474D53;    // VGMS
inline constexpr uint32_t kKeyMagic = 0x56474B59;      // VGKY
inline constexpr uint32_t kTextMagic = 0x56475543;     // VGUC
inline constexpr uint32_t kRumbleMagic = 0x56475242;   // VGRB
inline constexpr size_t kTextMaxBytes = 256;

// Exact datagram sizes; a text datagram is its 12-byte header and then the text.
inline constexpr size_t kGamepadDatagramSize = 21;
inline constexpr size_t kLookDatagramSize = 16;
inline constexpr size_t kMouseDatagramSize = 15;
inline constexpr size_t kKeyDatagramSize = 12;
inline constexpr size_t kTextHeaderSize = 12;

/// The four motor bytes and the duration as the virtual gamepad reports them.
struct RumbleMotors {
  uint8_t m0 = 0, m1 = 0, m2 = 0, m3 = 0;
  uint16_t duration = 0;
};

inline constexpr size_t kRumblePacketSize = 18;

/// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace ferrowin::inputhelper
