#pragma once
// The few CBOR encodings the development attestation authority writes (definite lengths only,
// shortest argument form, as App Attest objects use).

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ferrowin::client::attest::cbor {

void writeUnsigned(std::vector<uint8_t>& out, uint64_t value);
/// -1 - `magnitude`, i.e. writeNegative(out, 6) encodes -7.
void writeNegative(std::vector<uint8_t>& out, uint64_t magnitude);
void writeBytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);
void writeText(std::vector<uint8_t>& out, std::string_view text);
/// Heads only: the caller writes `count` items (or key/value pairs) after them.
void writeArrayHeader(std::vector<uint8_t>& out, uint64_t count);
void writeMapHeader(std::vector<uint8_t>& out, uint64_t pairs);

}  // namespace ferrowin::client::attest::cbor
