#pragma once
// Standard Base64 (RFC 4648 alphabet with '+' and '/'), strict both ways: the encoder always pads,
// and the decoder accepts only canonical padded input: no whitespace, no missing or extra padding,
// no characters outside the alphabet, no non-zero bits in the final group's unused low bits.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowin::common {

std::string base64Encode(const uint8_t* data, size_t size);
inline std::string base64Encode(const std::vector<uint8_t>& bytes) {
  return base64Encode(bytes.data(), bytes.size());
}
inline std::string base64Encode(std::string_view bytes) {
  return base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

/// nullopt for anything that is not canonical padded standard Base64.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace ferrowin::common
