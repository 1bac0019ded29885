#include "server/video/gf256.h"

#include <array>

namespace ferrowin::video::gf256 {
namespace {

struct Tables {
  std::array<uint8_t, 255> antilog{};
  std::array<uint8_t, 256> log{};
  std::array<std::array<uint8_t, 256>, 256> product{};

  Tables() {
    uint8_t value = 1;
    for (int k = 0; k < 255; ++k) {
      antilog[k] = value;
      log[value] = static_cast<uint8_t>(k);
      const bool top = value & 0x80;
      value = static_cast<uint8_t>(value << 1);
      if (top) value ^= 0x1D;
    }
    for (int a = 1; a < 256; ++a) {
      for (int b = 1; b < 256; ++b) product[a][b] = antilog[(log[a] + log[b]) % 255];
    }
  }
};

const Tables& tables() {
  static const Tables instance;
  return instance;
}

}  // namespace

uint8_t mul(uint8_t a, uint8_t b) { return tables().product[a][b]; }

uint8_t inverse(uint8_t a) {
  const Tables& t = tables();
  return t.antilog[(255 - t.log[a]) % 255];
}

void mulAddRegion(uint8_t* dst, const uint8_t* src, uint8_t coefficient, size_t length) {
  if (coefficient == 1) return xorRegion(dst, src, length);
  const uint8_t* row = tables().product[coefficient].data();
  for (size_t j = 0; j < length; ++j) dst[j] ^= row[src[j]];
}

void xorRegion(uint8_t* dst, const uint8_t* src, size_t length) {
  for (size_t j = 0; j < length; ++j) dst[j] ^= src[j];
}

void mulRegion(uint8_t* dst, uint8_t coefficient, size_t length) {
  const uint8_t* row = tables().product[coefficient].data();
  for (size_t j = 0; j < length; ++j) dst[j] = row[dst[j]];
}

}  // namespace ferrowin::video::gf256
