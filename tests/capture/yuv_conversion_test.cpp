// BGRA -> BT.709 limited-range 4:2:0: the formulas with the chroma's block mean, and every path
// (vector, NV12, Display P3) against the portable one.

#include "platform/yuv_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace ferrowin::platform {
namespace {

// A picture with a padded source stride, filled by `pixel(x, y)` → {b, g, r}.
struct Picture {
  std::vector<uint8_t> bytes;
  BgraFrame frame;
};

template <typename Pixel>
Picture makePicture(int width, int height, Pixel pixel) {
  Picture picture;
  const int stride = width * 4 + 12;
  picture.bytes.assign(size_t(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto [b, g, r] = pixel(x, y);
      uint8_t* p = picture.bytes.data() + size_t(y) * stride + x * 4;
      p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
    }
  }
  picture.frame = {nullptr, picture.bytes.data(), width, height, stride};
  return picture;
}

Picture noise(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  return makePicture(width, height, [&](int, int) {
    return std::array<uint8_t, 3>{uint8_t(random()), uint8_t(random()), uint8_t(random())};
  });
}

// Planes with strides wider than the rows, so a write past a row's end shows up.
struct Planes {
  int width, height, chromaWidth, chromaHeight, yStride, cStride;
  std::vector<uint8_t> y, u, v;
  explicit Planes(const BgraFrame& frame)
      : width(frame.width),
        height(frame.height),
        chromaWidth((frame.width + 1) / 2),
        chromaHeight((frame.height + 1) / 2),
        yStride(width + 32),
        cStride(chromaWidth + 32),
        y(size_t(yStride) * height, 0xAB),
        u(size_t(cStride) * chromaHeight, 0xAB),
        v(size_t(cStride) * chromaHeight, 0xAB) {}
  uint8_t Y(int x, int row) const { return y[size_t(row) * yStride + x]; }
  uint8_t U(int x, int row) const { return u[size_t(row) * cStride + x]; }
  uint8_t V(int x, int row) const { return v[size_t(row) * cStride + x]; }
};

Planes convert(const BgraFrame& frame, OutputPrimaries primaries, bool portable = false) {
  Planes planes(frame);
  (portable ? convertBgraToI420Portable : convertBgraToI420)(
      frame, planes.y.data(), planes.yStride, planes.u.data(), planes.cStride, planes.v.data(),
      planes.cStride, primaries);
  return planes;
}

Planes i420(const BgraFrame& frame, bool portable = false) {
  return convert(frame, OutputPrimaries::bt709, portable);
}

// Every code within rounding of the BT.709 limited-range formulas; the chroma is the mean of its
// 2 × 2 block, with the last column and row repeated at odd sides.
TEST(YuvConversion, LumaAndBlockMeanChromaFollowTheBt709Formulas) {
  const Picture picture = noise(41, 17, 1);
  const Planes planes = i420(picture.frame);
  const double k = 224.0 / 255;
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 41; ++x) {
      const uint8_t* p = picture.frame.at(x, y);
      const double luma = 16 + 219.0 / 255 * (0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0]);
      ASSERT_LE(std::abs(planes.Y(x, y) - luma), 0.52) << x << "," << y;
    }
  }
  auto at = [&](int x, int y) { return picture.frame.at(std::min(x, 40), std::min(y, 16)); };
  for (int cy = 0; cy < 9; ++cy) {
    for (int cx = 0; cx < 21; ++cx) {
      double b = 0, g = 0, r = 0;
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 2; ++dx) {
          const uint8_t* p = at(2 * cx + dx, 2 * cy + dy);
          b += p[0] / 4.0, g += p[1] / 4.0, r += p[2] / 4.0;
        }
      }
      const double u = 128 + k * (-0.2126 * r - 0.7152 * g + 0.9278 * b) / 1.8556;
      const double v = 128 + k * (0.7874 * r - 0.7152 * g - 0.0722 * b) / 1.5748;
      ASSERT_LE(std::abs(planes.U(cx, cy) - u), 0.52) << cx << "," << cy;
      ASSERT_LE(std::abs(planes.V(cx, cy) - v), 0.52) << cx << "," << cy;
    }
  }
}

// NV12 is the same conversion with the chroma interleaved, and stays inside its rows.
void expectNv12Matches(const BgraFrame& frame, const Planes& wanted, OutputPrimaries primaries) {
  Planes nv12(frame);
  const int uvStride = 2 * wanted.chromaWidth + 16;
  std::vector<uint8_t> uv(size_t(uvStride) * wanted.chromaHeight, 0xAB);
  convertBgraToNv12(frame, nv12.y.data(), nv12.yStride, uv.data(), uvStride, primaries);
  EXPECT_EQ(nv12.y, wanted.y);
  for (int row = 0; row < wanted.chromaHeight; ++row) {
    for (int x = 0; x < wanted.chromaWidth; ++x) {
      ASSERT_EQ(uv[size_t(row) * uvStride + 2 * x], wanted.U(x, row));
      ASSERT_EQ(uv[size_t(row) * uvStride + 2 * x + 1], wanted.V(x, row));
    }
    EXPECT_EQ(uv[size_t(row) * uvStride + 2 * wanted.chromaWidth], 0xAB);
  }
}

// ---- sRGB → Display P3 ----

TEST(DisplayP3, PrimariesMoveInwardsAndGreysStay) {
  // The published linear sRGB → P3 matrix (D65) with the sRGB transfer on both sides.
  using Rgb = std::array<uint8_t, 3>;
  const std::pair<Rgb, Rgb> known[] = {{{255, 0, 0}, {234, 51, 35}},
                                       {{0, 255, 0}, {117, 251, 76}},
                                       {{0, 0, 255}, {0, 0, 245}},
                                       {{255, 128, 0}, {239, 135, 51}}};
  for (const auto& [srgb, p3] : known) EXPECT_EQ(srgbToDisplayP3(srgb), p3);
  for (int v = 0; v < 256; ++v) {
    const Rgb grey{uint8_t(v), uint8_t(v), uint8_t(v)};
    ASSERT_EQ(srgbToDisplayP3(grey), grey) << v;
  }
}

TEST(YuvConversion, EveryPathGivesThePortableBt709BytesAndStaysInsideItsRows) {
  // Vector and portable, I420 and NV12, BT.709 and Display P3 (the BT.709 bytes of the picture
  // mapped pixel by pixel), at odd sizes and every tail length around the vector blocks (64
  // columns, then 8, then single pixels). The planes' stride padding is compared too.
  std::vector<std::pair<int, int>> sizes = {{1, 1}, {2, 3}, {37, 5}, {64, 4}, {130, 3}, {191, 2}};
  for (int width = 8; width < 24; ++width) sizes.push_back({width, width % 2 ? 5 : 6});
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const Picture source = noise(width, height, unsigned(width * 31 + height));
    // Runs of equal pixels too.
    for (int x = 1; x < width; x += 3) {
      for (int y = 0; y < height; ++y) {
        std::memcpy(const_cast<uint8_t*>(source.frame.at(x, y)), source.frame.at(x - 1, y), 4);
      }
    }
    const Picture mapped = makePicture(width, height, [&](int x, int y) {
      const uint8_t* p = source.frame.at(x, y);
      const auto p3 = srgbToDisplayP3({p[2], p[1], p[0]});
      return std::array<uint8_t, 3>{p3[2], p3[1], p3[0]};
    });
    for (OutputPrimaries primaries : {OutputPrimaries::bt709, OutputPrimaries::displayP3}) {
      const bool p3 = primaries == OutputPrimaries::displayP3;
      const Planes wanted = i420(p3 ? mapped.frame : source.frame, /*portable=*/true);
      for (int row = 0; row < height; ++row) EXPECT_EQ(wanted.Y(width, row), 0xAB);
      for (bool portable : {false, true}) {
        const Planes got = convert(source.frame, primaries, portable);
        EXPECT_EQ(got.y, wanted.y) << p3 << portable;
        EXPECT_EQ(got.u, wanted.u) << p3 << portable;
        EXPECT_EQ(got.v, wanted.v) << p3 << portable;
      }
      expectNv12Matches(source.frame, wanted, primaries);
    }
  }
}

}  // namespace
}  // namespace ferrowin::platform
