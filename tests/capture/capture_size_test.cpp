#include "server/capture/capture_size.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/capture_frames.h"

namespace ferrowin::capture {
namespace {

StreamConfig box(int width, int height) { return {.width = width, .height = height}; }

TEST(CaptureSize, FitsWithoutUpscalingAndAligns) {
  // 1662.9 × 1080, standard box: both sides to multiples of 16.
  EXPECT_EQ(captureSize({3024, 1964}, box(1920, 1080)), (CaptureSize{1648, 1072}));
  // Grown towards 640 × 480; a non-standard box only needs even sides.
  EXPECT_EQ(captureSize({400, 300}, box(1366, 768)), (CaptureSize{640, 480}));
  EXPECT_EQ(captureSize({1001, 777}, box(1001, 777)), (CaptureSize{1000, 776}));
  // Growing stops at the box.
  EXPECT_EQ(captureSize({100, 100}, box(500, 400)), (CaptureSize{400, 400}));
  // No content size: the box.
  EXPECT_EQ(captureSize({0, 0}, box(1280, 720)), (CaptureSize{1280, 720}));
  // Tiny boxes keep the minimum sides.
  EXPECT_EQ(captureSize({1, 1}, box(1, 1)), (CaptureSize{2, 2}));
}

TEST(FitPicture, KeepsTheAspectRatioUnlessOnlyAlignmentChangedIt) {
  struct Case {
    platform::PixelRect rect;
    int width, height;
    platform::PixelRect fitted;
  };
  const Case cases[] = {
      {{0, 0, 320, 240}, 640, 240, {0, 60, 320, 120}},       // wider: letterboxed
      {{0, 0, 320, 240}, 240, 240, {40, 0, 240, 240}},       // narrower: pillarboxed
      {{0, 0, 1648, 1072}, 3024, 1964, {0, 0, 1648, 1072}},  // off only by the 16-alignment
      {{0, 0, 100, 100}, 0, 0, {0, 0, 100, 100}},            // no picture
      {{0, 0, 100, 100}, 10000, 1, {0, 49, 100, 1}},         // never thinner than a pixel
  };
  for (const Case& c : cases) {
    const platform::PixelRect got = platform::fitPicture(c.rect, c.width, c.height);
    EXPECT_EQ(std::tie(got.x, got.y, got.width, got.height),
              std::tie(c.fitted.x, c.fitted.y, c.fitted.width, c.fitted.height))
        << c.width << "x" << c.height << " in " << c.rect.width << "x" << c.rect.height;
  }
}

}  // namespace
}  // namespace ferrowin::capture
