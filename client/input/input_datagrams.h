#pragma once
// The input datagrams a client sends to the host's input port and the rumble datagram it gets
// back, from the client's side. The decoded shapes, magic numbers and sizes are shared with the
// helper (protocol/input_packets.h); every multi-byte field is little-endian.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "protocol/input_packets.h"

namespace ferrowin::client {

using Datagram = std::vector<uint8_t>;

struct InputError {
  std::string message;
  std::string description() const { return message; }
};

Datagram encodeGamepadDatagram(const inputhelper::VirtualGamepadPacket& packet);
Datagram encodeLookDatagram(const inputhelper::VirtualLookPacket& packet);
Datagram encodeMouseDatagram(const inputhelper::VirtualMousePacket& packet);
Datagram encodeKeyDatagram(const inputhelper::VirtualKeyPacket& packet);
/// The text must be valid UTF-8 of 1 to 256 bytes; the helper drops anything else silently.
[[nodiscard]] Expected<Datagram, InputError> encodeTextDatagram(
    const inputhelper::VirtualTextPacket& packet);

struct RumbleDatagram {
  inputhelper::RumbleMotors motors;
  uint32_t sequence = 0;
};

/// An 18-byte datagram with the rumble magic and version 1; anything else is nullopt.
[[nodiscard]] std::optional<RumbleDatagram> parseRumbleDatagram(std::span<const uint8_t> bytes);

}  // namespace ferrowin::client
