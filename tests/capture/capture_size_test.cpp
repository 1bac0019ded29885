#include "server/capture/capture_size.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace ferrowin::capture {
namespace {

StreamConfig box(int width, int height) {
  StreamConfig config;
  config.width = width;
  config.height = height;
  return config;
}

TEST(CaptureSize, FitsWithoutUpscalingAndAligns) {
  // 1662.9 × 1080, standard box: both sides to multiples of 16.
  EXPECT_EQ(captureSize({3024, 1964}, box(1920, 1080)), (CaptureSize{1648, 1072}));
  EXPECT_EQ(captureSize({800, 600}, box(1920, 1080)), (CaptureSize{800, 592}));
  // Grown towards 640 × 480; a non-standard box only needs even sides.
  EXPECT_EQ(captureSize({400, 300}, box(1366, 768)), (CaptureSize{640, 480}));
  EXPECT_EQ(captureSize({1366, 768}, box(1366, 768)), (CaptureSize{1366, 768}));
  EXPECT_EQ(captureSize({1001, 777}, box(1001, 777)), (CaptureSize{1000, 776}));
  // Growing stops at the box.
  EXPECT_EQ(captureSize({100, 100}, box(500, 400)), (CaptureSize{400, 400}));
  // No content size: the box.
  EXPECT_EQ(captureSize({0, 0}, box(1280, 720)), (CaptureSize{1280, 720}));
  // Tiny boxes keep the minimum sides.
  EXPECT_EQ(captureSize({1, 1}, box(1, 1)), (CaptureSize{2, 2}));
}

TEST(CaptureSize, StreamConfigurationPadsTheWidthToSixteen) {
  testing::LogCapture logs;
  StreamConfig config = box(1366, 768);
  config.fps = 0;
  const auto padded = captureStreamConfiguration({1366, 768}, config);
  EXPECT_EQ(padded.width, 1376);
  EXPECT_EQ(padded.height, 768);
  EXPECT_EQ(padded.destinationRect, (platform::CaptureRect{0, 0, 1366, 768}));
  EXPECT_EQ(padded.fps, 1);  // 0 asks for one frame a second
  EXPECT_EQ(logs.messages(), std::vector<std::string>{"Capture width 1366 placed in 1376x768"});

  const auto aligned = captureStreamConfiguration({1280, 720}, box(1280, 720));
  EXPECT_EQ(aligned.width, 1280);
  EXPECT_FALSE(aligned.destinationRect);
  EXPECT_EQ(logs.messages().size(), 1u);
}

}  // namespace
}  // namespace ferrowin::capture
