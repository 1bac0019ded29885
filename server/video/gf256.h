#pragma once
// Arithmetic in GF(2^8) with the reducing polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) and the
// generator 2, as the weighted FEC parity needs it. Products come from a full 256 × 256 table built
// once from the logarithm tables, so the inner parity loops are one lookup and one XOR per byte.

#include <cstddef>
#include <cstdint>

namespace ferrowin::video::gf256 {

uint8_t mul(uint8_t a, uint8_t b);
/// The multiplicative inverse; `a` must not be 0.
uint8_t inverse(uint8_t a);

/// dst[j] ^= coefficient · src[j] for j < length.
void mulAddRegion(uint8_t* dst, const uint8_t* src, uint8_t coefficient, size_t length);
/// dst[j] ^= src[j] for j < length.
void xorRegion(uint8_t* dst, const uint8_t* src, size_t length);
/// dst[j] = coefficient · dst[j] for j < length.
void mulRegion(uint8_t* dst, uint8_t coefficient, size_t length);

}  // namespace ferrowin::video::gf256
