#pragma once
// A minimal DER writer (tag, definite length, contents): just what a self-signed certificate
// needs.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace ferrowin::control::der {

using Bytes = std::vector<uint8_t>;

namespace tag {
inline constexpr uint8_t integer = 0x02;
inline constexpr uint8_t bitString = 0x03;
inline constexpr uint8_t objectIdentifier = 0x06;
inline constexpr uint8_t utf8String = 0x0C;
inline constexpr uint8_t generalizedTime = 0x18;
inline constexpr uint8_t sequence = 0x30;
inline constexpr uint8_t set = 0x31;
inline constexpr uint8_t context0 = 0xA0;
}  // namespace tag

/// tag, length (short or long form), contents.
Bytes element(uint8_t tagByte, std::span<const uint8_t> contents);
/// The concatenation of `items` wrapped in `tagByte` (SEQUENCE, SET, [0], ...).
Bytes constructed(uint8_t tagByte, std::initializer_list<Bytes> items);
inline Bytes sequence(std::initializer_list<Bytes> items) {
  return constructed(tag::sequence, items);
}

/// INTEGER from unsigned big-endian bytes, in minimal positive form.
Bytes positiveInteger(std::span<const uint8_t> bigEndian);
Bytes smallInteger(uint8_t value);
Bytes objectIdentifier(std::initializer_list<uint32_t> arcs);
Bytes utf8String(std::string_view text);
Bytes generalizedTime(std::string_view text);
/// BIT STRING with 0 unused bits.
Bytes bitString(std::span<const uint8_t> bytes);

}  // namespace ferrowin::control::der
