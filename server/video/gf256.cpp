#include "server/video/gf256.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

namespace {

#if defined(__x86_64__)
// Sixteen products at once: c·x = c·(x & 0x0F) ^ c·(x & 0xF0), each half looked up in a 16-entry
// table with one byte shuffle.
__attribute__((target("ssse3"))) size_t mulAddSsse3(uint8_t* dst, const uint8_t* src,
                                                    uint8_t coefficient, size_t length) {
  const auto& row = tables().product[coefficient];
  alignas(16) uint8_t low[16], high[16];
  for (int x = 0; x < 16; ++x) {
    low[x] = row[x];
    high[x] = row[x << 4];
  }
  const __m128i lowTable = _mm_load_si128(reinterpret_cast<const __m128i*>(low));
  const __m128i highTable = _mm_load_si128(reinterpret_cast<const __m128i*>(high));
  const __m128i mask = _mm_set1_epi8(0x0F);
  size_t j = 0;
  for (; j + 16 <= length; j += 16) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j));
    const __m128i lo = _mm_shuffle_epi8(lowTable, _mm_and_si128(s, mask));
    const __m128i hi = _mm_shuffle_epi8(highTable, _mm_and_si128(_mm_srli_epi64(s, 4), mask));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + j));
    d = _mm_xor_si128(d, _mm_xor_si128(lo, hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j), d);
  }
  return j;
}

bool hasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

}  // namespace

void mulAddRegion(uint8_t* dst, const uint8_t* src, uint8_t coefficient, size_t length) {
  if (coefficient == 0) return;
  if (coefficient == 1) return xorRegion(dst, src, length);
  size_t j = 0;
#if defined(__x86_64__)
  if (hasSsse3()) j = mulAddSsse3(dst, src, coefficient, length);
#endif
  const uint8_t* row = tables().product[coefficient].data();
  for (; j < length; ++j) dst[j] ^= row[src[j]];
}

void xorRegion(uint8_t* dst, const uint8_t* src, size_t length) {
  size_t j = 0;
  for (; j + 8 <= length; j += 8) {
    uint64_t a, b;
    std::memcpy(&a, dst + j, 8);
    std::memcpy(&b, src + j, 8);
    a ^= b;
    std::memcpy(dst + j, &a, 8);
  }
  for (; j < length; ++j) dst[j] ^= src[j];
}

void mulRegion(uint8_t* dst, uint8_t coefficient, size_t length) {
  const uint8_t* row = tables().product[coefficient].data();
  for (size_t j = 0; j < length; ++j) dst[j] = row[dst[j]];
}

}  // namespace ferrowin::video::gf256
