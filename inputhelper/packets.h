#pragma once
// The helper's side of the input datagrams (protocol/input_packets.h): the classifier of what
// arrives and the rumble encoder. The byte layouts live in packets.cpp.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "protocol/input_packets.h"

namespace ferrowin::inputhelper {

using InboundPacket = std::variant<VirtualGamepadPacket, VirtualLookPacket, VirtualMousePacket,
                                   VirtualKeyPacket, VirtualTextPacket>;

/// Recognises one datagram by its exact length, magic and version, in the order gamepad, look,
/// mouse, key, text. Anything else (including a text whose length field disagrees with the
/// datagram or whose bytes are not valid UTF-8) is nullopt.
[[nodiscard]] std::optional<InboundPacket> classifyDatagram(std::span<const uint8_t> datagram);

std::array<uint8_t, kRumblePacketSize> encodeRumblePacket(const RumbleMotors& motors,
                                                          uint32_t sequence);

}  // namespace ferrowin::inputhelper
