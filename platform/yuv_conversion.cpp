#include "platform/yuv_conversion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FERROWIN_YUV_AVX2 1
#endif

namespace ferrowin::platform {

namespace {

// Coefficients with 15 fractional bits: every output byte is the real-valued formula rounded
// (off by at most 0.52), and they fit the vector path's 16-bit multiplies with 32-bit sums.
constexpr int kShift = 15;
constexpr int16_t coefficient(double value) {
  return static_cast<int16_t>(value * (1 << kShift) + (value < 0 ? -0.5 : 0.5));
}
constexpr double kKr = 0.2126;
constexpr double kKb = 0.0722;
constexpr double kKg = 1 - kKr - kKb;
constexpr double kLumaScale = 219.0 / 255;
constexpr double kChromaScale = 224.0 / 255;

constexpr int16_t kYR = coefficient(kKr * kLumaScale);
constexpr int16_t kYG = coefficient(kKg * kLumaScale);
constexpr int16_t kYB = coefficient(kKb * kLumaScale);
constexpr int16_t kUR = coefficient(-kKr / (2 * (1 - kKb)) * kChromaScale);
constexpr int16_t kUG = coefficient(-kKg / (2 * (1 - kKb)) * kChromaScale);
constexpr int16_t kUB = coefficient(0.5 * kChromaScale);
constexpr int16_t kVR = coefficient(0.5 * kChromaScale);
constexpr int16_t kVG = coefficient(-kKg / (2 * (1 - kKr)) * kChromaScale);
constexpr int16_t kVB = coefficient(-kKb / (2 * (1 - kKr)) * kChromaScale);

// Offsets with the rounding half folded in. Chroma works on sums of four pixels, so two more
// bits of shift.
constexpr int32_t kYOffset = (16 << kShift) + (1 << (kShift - 1));
constexpr int32_t kCOffset = (128 << (kShift + 2)) + (1 << (kShift + 1));

uint8_t luma(const uint8_t* p) {
  return static_cast<uint8_t>((kYB * p[0] + kYG * p[1] + kYR * p[2] + kYOffset) >> kShift);
}

// Blue, green, red sums of a 2 × 2 block.
struct BlockSum {
  int32_t b, g, r;
};

uint8_t chromaU(BlockSum s) {
  return static_cast<uint8_t>((kUB * s.b + kUG * s.g + kUR * s.r + kCOffset) >> (kShift + 2));
}
uint8_t chromaV(BlockSum s) {
  return static_cast<uint8_t>((kVB * s.b + kVG * s.g + kVR * s.r + kCOffset) >> (kShift + 2));
}

// Where one row of U and V goes: separate planes, or one interleaved plane (V right after U).
struct ChromaOut {
  uint8_t* u;
  uint8_t* v;
  int step;  // 1 for planes, 2 for interleaved
};

// The chroma planes' first bytes and strides.
struct ChromaPlanes {
  uint8_t* u;
  int uStride;
  uint8_t* v;
  int vStride;
  int step;
};

// Pixels [from, width) of a row pair (`from` even); the last column repeats for an odd width.
void convertTail(const uint8_t* top, const uint8_t* bottom, uint8_t* yTop, uint8_t* yBottom,
                 ChromaOut out, int from, int width) {
  for (int x = from; x < width; ++x) {
    yTop[x] = luma(top + 4 * x);
    if (yBottom) yBottom[x] = luma(bottom + 4 * x);
  }
  for (int x = from; x < width; x += 2) {
    const int x1 = std::min(x + 1, width - 1);
    const uint8_t *a = top + 4 * x, *b = top + 4 * x1, *c = bottom + 4 * x, *d = bottom + 4 * x1;
    const BlockSum sum{a[0] + b[0] + c[0] + d[0], a[1] + b[1] + c[1] + d[1],
                       a[2] + b[2] + c[2] + d[2]};
    out.u[x / 2 * out.step] = chromaU(sum);
    out.v[x / 2 * out.step] = chromaV(sum);
  }
}

#ifdef FERROWIN_YUV_AVX2

// Eight pixels at a time. Bytes widen to 16 bits, madd gives B·cb + G·cg and R·cr + A·0 per
// pixel, and a horizontal add finishes each pixel's sum — the same integers as the scalar code.
#define FERROWIN_AVX2 __attribute__((target("avx2"), always_inline)) inline

FERROWIN_AVX2 __m256i pixelSums(__m256i lo, __m256i hi, __m256i weights) {
  return _mm256_hadd_epi32(_mm256_madd_epi16(lo, weights), _mm256_madd_epi16(hi, weights));
}

// The eight luma bytes (in the low half) of pixels 0 1 | 4 5 and 2 3 | 6 7.
FERROWIN_AVX2 __m128i lumaBytes(__m256i lo, __m256i hi, __m256i weights, __m256i offset) {
  // Pixels 0 1 2 3 | 4 5 6 7.
  const __m256i sums =
      _mm256_srai_epi32(_mm256_add_epi32(pixelSums(lo, hi, weights), offset), kShift);
  const __m128i words =
      _mm_packs_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  return _mm_packus_epi16(words, words);
}

// Pixels [from, n) with `from` even; returns n.
__attribute__((target("avx2"))) int convertVector(const uint8_t* top, const uint8_t* bottom,
                                                  uint8_t* yTop, uint8_t* yBottom, ChromaOut out,
                                                  int from, int width) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i yWeights =
      _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
  const __m256i uWeights =
      _mm256_setr_epi16(kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0);
  const __m256i vWeights =
      _mm256_setr_epi16(kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0);
  const __m256i yOffset = _mm256_set1_epi32(kYOffset);
  const __m256i cOffset = _mm256_set1_epi32(kCOffset);
  int x = from;
  for (; x + 8 <= width; x += 8) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + 4 * x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + 4 * x));
    // Lane-wise: aLo holds pixels 0 1 | 4 5, aHi pixels 2 3 | 6 7, four 16-bit channels each.
    const __m256i aLo = _mm256_unpacklo_epi8(a, zero), aHi = _mm256_unpackhi_epi8(a, zero);
    const __m256i bLo = _mm256_unpacklo_epi8(b, zero), bHi = _mm256_unpackhi_epi8(b, zero);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(yTop + x), lumaBytes(aLo, aHi, yWeights, yOffset));
    if (yBottom)
      _mm_storel_epi64(reinterpret_cast<__m128i*>(yBottom + x),
                       lumaBytes(bLo, bHi, yWeights, yOffset));

    // Column pairs summed over both rows: blocks (0,1) (2,3) | (4,5) (6,7).
    const __m256i lo = _mm256_add_epi16(aLo, bLo), hi = _mm256_add_epi16(aHi, bHi);
    const __m256i blocks =
        _mm256_add_epi16(_mm256_unpacklo_epi64(lo, hi), _mm256_unpackhi_epi64(lo, hi));
    // madd + hadd of the blocks with themselves: blocks 0 1 0 1 | 2 3 2 3.
    const __m256i uSums = _mm256_add_epi32(pixelSums(blocks, blocks, uWeights), cOffset);
    const __m256i vSums = _mm256_add_epi32(pixelSums(blocks, blocks, vWeights), cOffset);
    const __m256i uv =
        _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(_mm256_srai_epi32(uSums, kShift + 2),
                                                       _mm256_srai_epi32(vSums, kShift + 2)),
                                 0xD8);  // U0 U1 U2 U3 | V0 V1 V2 V3
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(uv), _mm256_extracti128_si256(uv, 1));
    const __m128i bytes = _mm_packus_epi16(words, words);  // U0..U3 V0..V3
    if (out.step == 1) {
      const int u = _mm_cvtsi128_si32(bytes), v = _mm_extract_epi32(bytes, 1);
      __builtin_memcpy(out.u + x / 2, &u, 4);
      __builtin_memcpy(out.v + x / 2, &v, 4);
    } else {
      const __m128i interleaved = _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 4));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out.u + x), interleaved);
    }
  }
  return x;
}

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

#endif

// ---- sRGB → Display P3 ----
//
// Per pixel: each 8-bit sRGB channel to 16-bit linear light (a table), the linear 3 × 3 matrix
// in Q16 (each product truncated, as a 16-bit high multiply gives it), and back to 8-bit sRGB by
// linear interpolation between table points: 64 segments of 1/1024 below 1/16 of full scale,
// where the curve is steep, and 64 of 1/64 above. The tables hold each segment's start code and
// rise in 8.8 fixed point, the start raised by half the curve's largest bulge over the chord and
// by the rounding half, so the code is the high byte of start + rise × position. The vector path
// below computes the same integers.

using Matrix = std::array<std::array<double, 3>, 3>;

constexpr Matrix invert(const Matrix& m) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  Matrix out{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      // Cofactor of (c, r), transposed.
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      out[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
    }
  }
  return out;
}

constexpr Matrix rgbToXyz(double rx, double ry, double gx, double gy, double bx, double by) {
  constexpr double wx = 0.3127, wy = 0.3290;  // D65
  const Matrix xyz = {{{rx / ry, gx / gy, bx / by},
                       {1, 1, 1},
                       {(1 - rx - ry) / ry, (1 - gx - gy) / gy, (1 - bx - by) / by}}};
  const std::array<double, 3> white = {wx / wy, 1, (1 - wx - wy) / wy};
  // Scale each primary so that R = G = B = 1 gives the white.
  const Matrix inverse = invert(xyz);
  Matrix out{};
  for (int i = 0; i < 3; ++i) {
    double s = 0;
    for (int k = 0; k < 3; ++k) s += inverse[i][k] * white[k];
    for (int r = 0; r < 3; ++r) out[r][i] = xyz[r][i] * s;
  }
  return out;
}

// Linear sRGB to linear P3, inverse(P3 → XYZ) × (sRGB → XYZ), in Q16. Every coefficient is
// non-negative and each row sums to exactly 1.0, so white stays white and no sum overflows 16 bits.
using Q16Matrix = std::array<std::array<uint16_t, 3>, 3>;
constexpr Q16Matrix p3Matrix() {
  const Matrix srgb = rgbToXyz(0.64, 0.33, 0.30, 0.60, 0.15, 0.06);
  const Matrix p3 = invert(rgbToXyz(0.680, 0.320, 0.265, 0.690, 0.150, 0.060));
  Q16Matrix out{};
  for (int r = 0; r < 3; ++r) {
    int sum = 0, largest = 0;
    std::array<int, 3> row{};
    for (int c = 0; c < 3; ++c) {
      double m = 0;
      for (int k = 0; k < 3; ++k) m += p3[r][k] * srgb[k][c];
      row[c] = int(m * 65536 + 0.5);
      sum += row[c];
      if (row[c] > row[largest]) largest = c;
    }
    row[largest] += 65536 - sum;
    for (int c = 0; c < 3; ++c) out[r][c] = uint16_t(row[c]);
  }
  return out;
}
constexpr Q16Matrix kP3 = p3Matrix();
// The two spaces share the blue primary: blue adds nothing to red or green, and the kernels skip
// those products.
static_assert(kP3[0][2] == 0 && kP3[1][2] == 0);
static_assert(kP3[0][0] + kP3[0][1] == 65536 && kP3[1][0] + kP3[1][1] == 65536 &&
              kP3[2][0] + kP3[2][1] + kP3[2][2] == 65536);

constexpr uint32_t kDarkLimit = 4096;  // 1/16 of full scale
constexpr int kDarkShift = 6, kBrightShift = 10;

struct alignas(64) EncodeSegments {
  std::array<uint16_t, 64> start{};  // 8.8 code, rounding half included
  std::array<uint16_t, 64> rise{};   // 8.8 code over the whole segment
};

struct alignas(64) P3Tables {
  std::array<uint8_t, 256> decodeLow{}, decodeHigh{};  // the 16-bit linear value's two bytes
  std::array<uint16_t, 256> decode{};
  EncodeSegments dark, bright;
  std::array<uint8_t, 65536> encode{};  // the segments' answer for every linear value (portable)
};

double srgbDecode(double v) {
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double srgbEncode(double v) {
  return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
}

// Segments of 2^shift linear steps from 0.
EncodeSegments encodeSegments(int shift) {
  const auto code = [](double linear) { return srgbEncode(linear / 65535) * 255; };
  const int width = 1 << shift;
  EncodeSegments out;
  for (int i = 0; i < 64; ++i) {
    const int from = i * width;
    const double a = code(from), b = code(from + width);
    double above = 0, below = 0;
    for (int x = from; x < from + width; ++x) {
      const double off = code(x) - (a + (b - a) * (x - from) / width);
      above = std::max(above, off);
      below = std::min(below, off);
    }
    const long start = std::lround((a + (above + below) / 2) * 256) + 128;
    out.start[i] = uint16_t(std::clamp(start, 0L, 65535L));
    out.rise[i] = uint16_t(std::clamp(std::lround((b - a) * 256), 0L, 65535L - out.start[i]));
  }
  return out;
}

uint32_t mulHigh(uint32_t a, uint32_t b) { return (a * b) >> 16; }

const P3Tables& p3Tables() {
  static const P3Tables tables = [] {
    P3Tables t;
    for (int i = 0; i < 256; ++i) {
      t.decode[i] = uint16_t(std::lround(srgbDecode(i / 255.0) * 65535));
      t.decodeLow[i] = uint8_t(t.decode[i]);
      t.decodeHigh[i] = uint8_t(t.decode[i] >> 8);
    }
    t.dark = encodeSegments(kDarkShift);
    t.bright = encodeSegments(kBrightShift);
    for (uint32_t linear = 0; linear < 65536; ++linear) {
      const bool dark = linear < kDarkLimit;
      const EncodeSegments& segments = dark ? t.dark : t.bright;
      const uint32_t i = linear >> (dark ? kDarkShift : kBrightShift) & 63;
      const uint32_t position = (linear << (dark ? 16 - kDarkShift : 16 - kBrightShift)) & 0xFFFF;
      t.encode[linear] = uint8_t((segments.start[i] + ((segments.rise[i] * position) >> 16)) >> 8);
    }
    return t;
  }();
  return tables;
}


// One BGRA pixel to P3 (alpha kept).
uint32_t pixelToP3(const P3Tables& t, uint32_t bgra) {
  const uint32_t b = t.decode[bgra & 0xFF], g = t.decode[(bgra >> 8) & 0xFF],
                 r = t.decode[(bgra >> 16) & 0xFF];
  const uint32_t red = mulHigh(r, kP3[0][0]) + mulHigh(g, kP3[0][1]);
  const uint32_t green = mulHigh(r, kP3[1][0]) + mulHigh(g, kP3[1][1]);
  const uint32_t blue = mulHigh(r, kP3[2][0]) + mulHigh(g, kP3[2][1]) + mulHigh(b, kP3[2][2]);
  return t.encode[blue] | t.encode[green] << 8 | t.encode[red] << 16 | (bgra & 0xFF000000u);
}

#ifdef FERROWIN_YUV_AVX2

// The AVX-512 (VBMI) path: 64 pixels at a time, each channel gathered into a plane of bytes by
// permutes, the 256-entry decode tables held in registers (two 128-byte permutes and a blend per
// byte of the result), the matrix and the encode segments on 16-bit lanes, and byte permutes
// again to bring the codes into (blue, green) and (red, 0) pairs for the BT.709 sums. The
// permutes' orders are in `FusedLayout`.
//
// GCC 12 takes the AVX-512 intrinsics' deliberately undefined pass-through operand for an
// uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define FERROWIN_AVX512_TARGET "avx512f,avx512bw,avx512vbmi"
#define FERROWIN_AVX512 __attribute__((target(FERROWIN_AVX512_TARGET), always_inline)) inline

struct ByteTable {
  __m512i quarter[4];
};

FERROWIN_AVX512 ByteTable loadByteTable(const std::array<uint8_t, 256>& bytes) {
  ByteTable t;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) t.quarter[i] = _mm512_load_si512(bytes.data() + 64 * i);
  return t;
}

FERROWIN_AVX512 __m512i lookup(const ByteTable& t, __m512i index) {
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index),
                                _mm512_permutex2var_epi8(t.quarter[0], index, t.quarter[1]),
                                _mm512_permutex2var_epi8(t.quarter[2], index, t.quarter[3]));
}

struct SegmentTable {
  __m512i start[2], rise[2];
};

FERROWIN_AVX512 SegmentTable loadSegments(const EncodeSegments& s) {
  return {{_mm512_load_si512(s.start.data()), _mm512_load_si512(s.start.data() + 32)},
          {_mm512_load_si512(s.rise.data()), _mm512_load_si512(s.rise.data() + 32)}};
}

// 32 linear values to 8.8 codes (the code is the high byte).
FERROWIN_AVX512 __m512i encode32(__m512i linear, const SegmentTable& dark,
                                 const SegmentTable& bright) {
  const __mmask32 isDark = _mm512_cmplt_epu16_mask(linear, _mm512_set1_epi16(kDarkLimit));
  const __m512i darkIndex = _mm512_srli_epi16(linear, kDarkShift);
  const __m512i brightIndex = _mm512_srli_epi16(linear, kBrightShift);
  const __m512i position = _mm512_mask_slli_epi16(_mm512_slli_epi16(linear, 16 - kBrightShift),
                                                  isDark, linear, 16 - kDarkShift);
  const __m512i start = _mm512_mask_blend_epi16(
      isDark, _mm512_permutex2var_epi16(bright.start[0], brightIndex, bright.start[1]),
      _mm512_permutex2var_epi16(dark.start[0], darkIndex, dark.start[1]));
  const __m512i rise = _mm512_mask_blend_epi16(
      isDark, _mm512_permutex2var_epi16(bright.rise[0], brightIndex, bright.rise[1]),
      _mm512_permutex2var_epi16(dark.rise[0], darkIndex, dark.rise[1]));
  return _mm512_add_epi16(start, _mm512_mulhi_epu16(rise, position));
}

FERROWIN_AVX512 __m512i coefficient(int row, int column) {
  return _mm512_set1_epi16(short(kP3[row][column]));
}

// Two 16-bit weights (low, high) for a madd.
FERROWIN_AVX512 __m512i weightPair(int16_t low, int16_t high) {
  return _mm512_set1_epi32(int32_t(uint32_t(uint16_t(low)) | uint32_t(uint16_t(high)) << 16));
}

FERROWIN_AVX512 __m512i weighted(__m512i offset, __m512i bg, __m512i bgWeights, __m512i r0,
                                 __m512i rWeights) {
  return _mm512_add_epi32(
      offset, _mm512_add_epi32(_mm512_madd_epi16(bg, bgWeights), _mm512_madd_epi16(r0, rWeights)));
}

// Where each byte of the fused kernel's permutes comes from; built once.
struct FusedLayout {
  // Channel planes: byte 16j + 4k + m of a plane is pixel 16k + 4j + m of the 64.
  std::array<std::array<uint8_t, 64>, 3> plane;
  // From the codes of one half (pixels 32h..32h+31): the even or odd pixels' (blue, green) and
  // (red, 0) as 16-bit pairs, one pixel per 32-bit lane, in pixel order.
  std::array<uint8_t, 64> blueGreen[2], red[2];
  std::array<uint8_t, 64> luma;                 // packed luma bytes → pixel order
  std::array<uint8_t, 64> planar, interleaved;  // packed U, V bytes → U0..U31 V0..V31 / U0 V0 ...
};

const FusedLayout& fusedLayout() {
  static const FusedLayout layout = [] {
    FusedLayout l{};
    // Word position (8j + w) of pixel q (0..31) of a half, after widening the planes.
    const auto word = [](int q) { return 8 * (q % 16 / 4) + 4 * (q / 16) + q % 4; };
    for (int p = 0; p < 64; ++p) {
      const int j = p / 16, k = p % 16 / 4, m = p % 4;
      for (int c = 0; c < 3; ++c) l.plane[c][p] = uint8_t(64 * (k & 1) + 16 * j + 4 * m + c);
    }
    for (int odd = 0; odd < 2; ++odd) {
      for (int d = 0; d < 16; ++d) {
        const uint8_t high = uint8_t(2 * word(2 * d + odd) + 1);  // the code's byte
        l.blueGreen[odd][4 * d] = high;
        l.blueGreen[odd][4 * d + 2] = uint8_t(64 + high);
        l.red[odd][4 * d] = high;
      }
    }
    // Packing two 32-bit vectors to 16 bits, then two of those to 8 bits, interleaves them by
    // 128-bit lane: byte 16L + i holds element 4L + i % 4 of vector (i / 4).
    for (int p = 0; p < 64; ++p) {
      const int lane = p / 16, i = p % 16, element = 4 * lane + i % 4, vector = i / 4;
      // Luma: vectors are even h0, odd h0, even h1, odd h1.
      l.luma[size_t(32 * (vector / 2) + 2 * element + vector % 2)] = uint8_t(p);
      // Chroma: U blocks 0..15, U 16..31, V 0..15, V 16..31.
      const int block = 16 * (vector % 2) + element;
      l.planar[size_t(32 * (vector / 2) + block)] = uint8_t(p);
      l.interleaved[size_t(2 * block + vector / 2)] = uint8_t(p);
    }
    return l;
  }();
  return layout;
}

FERROWIN_AVX512 __m512i loadBytes(const std::array<uint8_t, 64>& bytes) {
  return _mm512_loadu_si512(bytes.data());
}

struct P3Kernel {
  __m512i plane[3];
  ByteTable low, high;
  SegmentTable dark, bright;
  __m512i rr, rg, gr, gg, br, bg, bb;
};

// 64 BGRA pixels to P3 codes (8.8, the code in the high byte) of blue, green and red:
// codes[c][h] holds pixels 32h..32h+31, pixel q of the half at word 8 × (q % 16 / 4) + 4 × (q / 16)
// + q % 4.
FERROWIN_AVX512 void p3Codes(const P3Kernel& k, const uint8_t* in, __m512i (&codes)[3][2]) {
  __m512i pixels[4];
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) pixels[i] = _mm512_loadu_si512(in + 64 * i);
  constexpr __mmask64 kSecondPair = 0xFF00FF00FF00FF00ull;  // bytes 8..15 of each lane
  __m512i linear[3][2];
#pragma GCC unroll 4
  for (int c = 0; c < 3; ++c) {
    const __m512i plane = _mm512_mask_blend_epi8(
        kSecondPair, _mm512_permutex2var_epi8(pixels[0], k.plane[c], pixels[1]),
        _mm512_permutex2var_epi8(pixels[2], k.plane[c], pixels[3]));
    const __m512i lo = lookup(k.low, plane), hi = lookup(k.high, plane);
    linear[c][0] = _mm512_unpacklo_epi8(lo, hi);
    linear[c][1] = _mm512_unpackhi_epi8(lo, hi);
  }
#pragma GCC unroll 4
  for (int h = 0; h < 2; ++h) {
    const __m512i b = linear[0][h], g = linear[1][h], r = linear[2][h];
    const __m512i red = _mm512_add_epi16(_mm512_mulhi_epu16(r, k.rr), _mm512_mulhi_epu16(g, k.rg));
    const __m512i green =
        _mm512_add_epi16(_mm512_mulhi_epu16(r, k.gr), _mm512_mulhi_epu16(g, k.gg));
    const __m512i blue =
        _mm512_add_epi16(_mm512_add_epi16(_mm512_mulhi_epu16(r, k.br), _mm512_mulhi_epu16(g, k.bg)),
                         _mm512_mulhi_epu16(b, k.bb));
    codes[0][h] = encode32(blue, k.dark, k.bright);
    codes[1][h] = encode32(green, k.dark, k.bright);
    codes[2][h] = encode32(red, k.dark, k.bright);
  }
}

// The vector conversion with the P3 step fused in: 64 columns of a row pair at a time, P3 codes
// straight into the BT.709 sums (no BGRA in between). The same integers as the portable path.
__attribute__((target(FERROWIN_AVX512_TARGET))) int convertP3Vector(const uint8_t* top,
                                                                    const uint8_t* bottom,
                                                                    uint8_t* yTop, uint8_t* yBottom,
                                                                    ChromaOut out, int width) {
  const P3Tables& t = p3Tables();
  const FusedLayout& layout = fusedLayout();
  P3Kernel k;
#pragma GCC unroll 4
  for (int c = 0; c < 3; ++c) k.plane[c] = loadBytes(layout.plane[c]);
  k.low = loadByteTable(t.decodeLow);
  k.high = loadByteTable(t.decodeHigh);
  k.dark = loadSegments(t.dark);
  k.bright = loadSegments(t.bright);
  k.rr = coefficient(0, 0), k.rg = coefficient(0, 1), k.gr = coefficient(1, 0);
  k.gg = coefficient(1, 1), k.br = coefficient(2, 0), k.bg = coefficient(2, 1);
  k.bb = coefficient(2, 2);
  const __m512i blueGreen[2] = {loadBytes(layout.blueGreen[0]), loadBytes(layout.blueGreen[1])};
  const __m512i red[2] = {loadBytes(layout.red[0]), loadBytes(layout.red[1])};
  const __m512i lumaOrder = loadBytes(layout.luma);
  const __m512i chromaOrder = loadBytes(out.step == 1 ? layout.planar : layout.interleaved);
  constexpr __mmask64 kBlueGreen = 0x5555555555555555ull, kRed = 0x1111111111111111ull;
  const __m512i yBG = weightPair(kYB, kYG), yR = weightPair(kYR, 0);
  const __m512i uBG = weightPair(kUB, kUG), uR = weightPair(kUR, 0);
  const __m512i vBG = weightPair(kVB, kVG), vR = weightPair(kVR, 0);
  const __m512i yOffset = _mm512_set1_epi32(kYOffset), cOffset = _mm512_set1_epi32(kCOffset);

  int x = 0;
  for (; x + 64 <= width; x += 64) {
    // [row][h][odd]: (blue, green) and (red, 0) pairs of the even and odd pixels of each half.
    __m512i bgPairs[2][2][2], rPairs[2][2][2];
#pragma GCC unroll 4
    for (int row = 0; row < 2; ++row) {
      __m512i codes[3][2];
      p3Codes(k, (row == 0 ? top : bottom) + 4 * x, codes);
      __m512i luma[2][2];
#pragma GCC unroll 4
      for (int h = 0; h < 2; ++h) {
#pragma GCC unroll 4
        for (int odd = 0; odd < 2; ++odd) {
          bgPairs[row][h][odd] =
              _mm512_maskz_permutex2var_epi8(kBlueGreen, codes[0][h], blueGreen[odd], codes[1][h]);
          rPairs[row][h][odd] =
              _mm512_maskz_permutex2var_epi8(kRed, codes[2][h], red[odd], codes[2][h]);
          luma[h][odd] = _mm512_srai_epi32(
              weighted(yOffset, bgPairs[row][h][odd], yBG, rPairs[row][h][odd], yR), kShift);
        }
      }
      uint8_t* y = row == 0 ? yTop : yBottom;
      if (y) {
        const __m512i bytes = _mm512_packus_epi16(_mm512_packs_epi32(luma[0][0], luma[0][1]),
                                                  _mm512_packs_epi32(luma[1][0], luma[1][1]));
        _mm512_storeu_si512(y + x, _mm512_permutexvar_epi8(lumaOrder, bytes));
      }
    }
    __m512i u[2], v[2];
#pragma GCC unroll 4
    for (int h = 0; h < 2; ++h) {
      const __m512i bg = _mm512_add_epi16(_mm512_add_epi16(bgPairs[0][h][0], bgPairs[0][h][1]),
                                          _mm512_add_epi16(bgPairs[1][h][0], bgPairs[1][h][1]));
      const __m512i r = _mm512_add_epi16(_mm512_add_epi16(rPairs[0][h][0], rPairs[0][h][1]),
                                         _mm512_add_epi16(rPairs[1][h][0], rPairs[1][h][1]));
      u[h] = _mm512_srai_epi32(weighted(cOffset, bg, uBG, r, uR), kShift + 2);
      v[h] = _mm512_srai_epi32(weighted(cOffset, bg, vBG, r, vR), kShift + 2);
    }
    const __m512i chroma = _mm512_permutexvar_epi8(
        chromaOrder,
        _mm512_packus_epi16(_mm512_packs_epi32(u[0], u[1]), _mm512_packs_epi32(v[0], v[1])));
    if (out.step == 1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.u + x / 2),
                          _mm512_castsi512_si256(chroma));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.v + x / 2),
                          _mm512_extracti64x4_epi64(chroma, 1));
    } else {
      _mm512_storeu_si512(out.u + x, chroma);
    }
  }
  return x;
}

#pragma GCC diagnostic pop

bool hasAvx512Vbmi() {
  static const bool has =
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  return has;
}

#endif

// Pixels [from, width) of a row to P3. A pixel equal to its left neighbour reuses the answer
// (flat areas of a desktop or a game's sky).
void rowToP3(const uint8_t* in, uint8_t* out, int from, int width) {
  const P3Tables& t = p3Tables();
  uint32_t lastIn = 0, lastOut = pixelToP3(t, 0);
  for (int x = from; x < width; ++x) {
    uint32_t pixel;
    std::memcpy(&pixel, in + 4 * x, 4);
    if (pixel != lastIn) {
      lastIn = pixel;
      lastOut = pixelToP3(t, pixel);
    }
    std::memcpy(out + 4 * x, &lastOut, 4);
  }
}

void convert(const BgraFrame& source, uint8_t* yPlane, int yStride, ChromaPlanes chroma,
             bool vector, OutputPrimaries primaries) {
  // P3 pixels the fused vector path leaves to the tail are made a row pair at a time in a buffer
  // that stays in the cache.
  thread_local std::vector<uint8_t> p3Rows;
  const bool toP3 = primaries == OutputPrimaries::displayP3;
  if (toP3) p3Rows.resize(size_t(source.width) * 8);
  for (int row = 0; row < source.height; row += 2) {
    const bool pair = row + 1 < source.height;
    const uint8_t* top = source.at(0, row);
    const uint8_t* bottom = pair ? source.at(0, row + 1) : top;
    uint8_t* yTop = yPlane + size_t(row) * yStride;
    uint8_t* yBottom = pair ? yTop + yStride : nullptr;
    const ChromaOut out{chroma.u + size_t(row / 2) * chroma.uStride,
                        chroma.v + size_t(row / 2) * chroma.vStride, chroma.step};
    int done = 0;
#ifdef FERROWIN_YUV_AVX2
    if (vector && toP3 && hasAvx512Vbmi()) {
      done = convertP3Vector(top, bottom, yTop, yBottom, out, source.width);
    }
#endif
    if (toP3) {
      uint8_t* p3Top = p3Rows.data();
      uint8_t* p3Bottom = pair ? p3Top + size_t(source.width) * 4 : p3Top;
      rowToP3(top, p3Top, done, source.width);
      if (pair) rowToP3(bottom, p3Bottom, done, source.width);
      top = p3Top;
      bottom = p3Bottom;
    }
#ifdef FERROWIN_YUV_AVX2
    if (vector && hasAvx2())
      done = convertVector(top, bottom, yTop, yBottom, out, done, source.width);
#else
    (void)vector;
#endif
    convertTail(top, bottom, yTop, yBottom, out, done, source.width);
  }
}

}  // namespace

void convertBgraToI420(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u, int uStride,
                       uint8_t* v, int vStride, OutputPrimaries primaries) {
  convert(source, y, yStride, {u, uStride, v, vStride, 1}, true, primaries);
}

void convertBgraToNv12(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* uv, int uvStride,
                       OutputPrimaries primaries) {
  convert(source, y, yStride, {uv, uvStride, uv + 1, uvStride, 2}, true, primaries);
}

void convertBgraToI420Portable(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u,
                               int uStride, uint8_t* v, int vStride, OutputPrimaries primaries) {
  convert(source, y, yStride, {u, uStride, v, vStride, 1}, false, primaries);
}

std::array<uint8_t, 3> srgbToDisplayP3(std::array<uint8_t, 3> rgb) {
  const uint32_t p3 =
      pixelToP3(p3Tables(), uint32_t(rgb[2]) | uint32_t(rgb[1]) << 8 | uint32_t(rgb[0]) << 16);
  return {uint8_t(p3 >> 16), uint8_t(p3 >> 8), uint8_t(p3)};
}

}  // namespace ferrowin::platform
