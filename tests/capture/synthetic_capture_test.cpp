// The synthetic backend's own rules: its pattern, pacing, frame pool and padding. (Live updates of
// a stream and display changes are driven through it by the streamer and virtual display tests.)
#include "platform/synthetic/synthetic_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "platform/capture_frames.h"

namespace ferrowin::platform {
namespace {

CaptureFilter displayFilter(uint32_t id) {
  return CaptureFilter{CaptureFilter::Kind::display, id, CaptureRect{0, 0, 1920, 1080}, 1.0};
}

CaptureStreamConfiguration configuration(int width, int height, int fps) {
  CaptureStreamConfiguration c;
  c.width = width;
  c.height = height;
  c.fps = fps;
  return c;
}

bool samePixels(const BgraFrame& a, const BgraFrame& b) {
  if (a.width != b.width || a.height != b.height) return false;
  for (int y = 0; y < a.height; ++y) {
    if (std::memcmp(a.at(0, y), b.at(0, y), size_t(a.width) * 4) != 0) return false;
  }
  return true;
}

class SyntheticStreamTest : public ::testing::Test {
 protected:
  std::unique_ptr<CaptureStream> startStream(CaptureFilter filter,
                                             CaptureStreamConfiguration config) {
    CaptureStream::Delegate delegate;
    delegate.onFrame = [this](CapturedFrame frame) { frames_.push_back(std::move(frame)); };
    auto stream = backend_.createStream(filter, config, std::move(delegate));
    EXPECT_TRUE(stream);
    EXPECT_TRUE((*stream)->start());
    return std::move(*stream);
  }

  common::ManualClock clock_{100.0};
  SyntheticCaptureBackend backend_{SyntheticCaptureBackend::defaultDisplays(), clock_, clock_};
  std::vector<CapturedFrame> frames_;
};

TEST(TestPattern, IsDeterministicPerSourceAndFrameAndShowsItsCounter) {
  const PixelRect rect{0, 0, 320, 180};
  BgraFrame a = allocateBgraFrame(320, 180), b = allocateBgraFrame(320, 180);
  drawTestPattern(a, rect, 7, 1234);
  drawTestPattern(b, rect, 7, 1234);
  EXPECT_TRUE(samePixels(a, b));
  drawTestPattern(b, rect, 8, 1234);
  EXPECT_FALSE(samePixels(a, b));
  for (uint64_t n : {0ull, 1234ull, 99999999ull}) {
    drawTestPattern(a, rect, 1, n);
    EXPECT_EQ(readFrameCounter(a, rect), n);
  }
  // A picture without a counter reads as none.
  BgraFrame blank = allocateBgraFrame(320, 180);
  EXPECT_EQ(readFrameCounter(blank, rect), std::nullopt);
}

TEST_F(SyntheticStreamTest, DeliversAtMostFpsFramesOnTheGridWithClockTimestamps) {
  // 8 fps: an interval that binary floating point holds exactly.
  auto stream = startStream(displayFilter(1), configuration(160, 96, 8));
  clock_.advance(0);
  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].ptsMicros, common::toMicros(100.0));
  clock_.advance(0.124);
  EXPECT_EQ(frames_.size(), 1u);
  clock_.advance(0.001);
  ASSERT_EQ(frames_.size(), 2u);
  EXPECT_EQ(frames_[1].ptsMicros, common::toMicros(100.125));
  for (int i = 2; i < 12; ++i) {
    frames_.clear();  // release the buffers
    clock_.advance(0.125);
    ASSERT_EQ(frames_.size(), 1u);
    EXPECT_EQ(frames_[0].ptsMicros, common::toMicros(100.0 + i * 0.125));
    EXPECT_EQ(frames_[0].status, CaptureFrameStatus::complete);
    EXPECT_EQ(readFrameCounter(frames_[0].image, {0, 0, 160, 96}), uint64_t(i));
  }
  stream->stop();
  frames_.clear();
  clock_.advance(1.0);
  EXPECT_TRUE(frames_.empty());
  EXPECT_EQ(clock_.pendingTimers(), 0u);
}

TEST_F(SyntheticStreamTest, SkipsFramesWhileTheConsumerHoldsEveryBuffer) {
  auto config = configuration(64, 64, 10);
  config.queueDepth = 2;
  auto stream = startStream(displayFilter(1), config);
  clock_.advance(2.0);
  // Queue depth 2 plus the three the encoder may hold.
  EXPECT_EQ(frames_.size(), framePoolCapacity(2));
  frames_.erase(frames_.begin());
  clock_.advance(0.1);
  EXPECT_EQ(frames_.size(), framePoolCapacity(2));
  // The skipped ticks still counted: the counter shows time, not deliveries.
  EXPECT_EQ(readFrameCounter(frames_.back().image, {0, 0, 64, 64}), 21u);
}

TEST_F(SyntheticStreamTest, PlacesThePictureAndPadsWithBlack) {
  auto config = configuration(1376, 720, 30);
  config.destinationRect = CaptureRect{0, 0, 1366, 720};
  auto stream = startStream(displayFilter(1), config);
  clock_.advance(0);
  ASSERT_EQ(frames_.size(), 1u);
  const BgraFrame& image = frames_[0].image;
  EXPECT_EQ(image.width, 1376);
  for (int y : {0, 359, 719}) {
    for (int x = 1366; x < 1376; ++x) {
      const uint8_t* p = image.at(x, y);
      ASSERT_TRUE(p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255) << x << "," << y;
    }
    EXPECT_NE(image.at(1365, y)[0] + image.at(1365, y)[1] + image.at(1365, y)[2], 0);
  }
  EXPECT_EQ(readFrameCounter(image, {0, 0, 1366, 720}), 0u);
}

TEST(FitPicture, KeepsTheAspectRatioUnlessOnlyAlignmentChangedIt) {
  struct Case {
    PixelRect rect;
    int width, height;
    PixelRect fitted;
  };
  const Case cases[] = {
      {{0, 0, 320, 240}, 640, 240, {0, 60, 320, 120}},       // wider: letterboxed
      {{0, 0, 320, 240}, 240, 240, {40, 0, 240, 240}},       // narrower: pillarboxed
      {{0, 0, 1648, 1072}, 3024, 1964, {0, 0, 1648, 1072}},  // off only by the 16-alignment
      {{0, 0, 100, 100}, 0, 0, {0, 0, 100, 100}},            // no picture
      {{0, 0, 100, 100}, 10000, 1, {0, 49, 100, 1}},         // never thinner than a pixel
  };
  for (const Case& c : cases) {
    const PixelRect got = fitPicture(c.rect, c.width, c.height);
    EXPECT_EQ(std::tie(got.x, got.y, got.width, got.height),
              std::tie(c.fitted.x, c.fitted.y, c.fitted.width, c.fitted.height))
        << c.width << "x" << c.height << " in " << c.rect.width << "x" << c.rect.height;
  }
}

}  // namespace
}  // namespace ferrowin::platform
