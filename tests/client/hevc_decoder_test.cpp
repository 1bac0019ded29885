// The client's decoding with the real encoder on one side and libavcodec on the other.

#include "client/video/hevc_decoder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "platform/video_encoder.h"
#include "protocol/annexb.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

struct EncodedFrame {
  std::vector<std::vector<uint8_t>> parameterSets;
  std::vector<uint8_t> data;
  bool keyframe = false;
  uint64_t pts = 0;
};

/// `count` frames of a moving bar, encoded with libx265 as the host does.
std::vector<EncodedFrame> encodeFrames(int width, int height, int count) {
  auto encoder =
      platform::createHevcEncoder({width, height, 30, 400, platform::EncoderColorSpace::srgb,
                                   platform::EncoderPreference::software});
  EXPECT_TRUE(encoder) << encoder.error().description();
  if (!encoder) return {};
  std::mutex lock;
  std::condition_variable done;
  std::vector<EncodedFrame> frames;
  for (int i = 0; i < count; ++i) {
    platform::BgraFrame frame = platform::allocateBgraFrame(width, height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        auto* pixel = const_cast<uint8_t*>(frame.at(x, y));
        const bool bar = (x / 8) == i % (width / 8);
        pixel[0] = pixel[1] = pixel[2] = bar ? 235 : 40;
        pixel[3] = 255;
      }
    }
    (*encoder)->encode(std::move(frame), 1000 + i * 33333, false, [&](auto result) {
      std::lock_guard guard(lock);
      EXPECT_TRUE(result);
      if (!result) return;
      auto unit = capture::toLengthPrefixed(result->annexB);
      frames.push_back({unit.parameterSets, unit.data, result->keyframe,
                        static_cast<uint64_t>(result->ptsMicros)});
      done.notify_all();
    });
  }
  std::unique_lock guard(lock);
  done.wait_for(guard, std::chrono::seconds(30), [&] { return frames.size() == size_t(count); });
  return frames;
}

TEST(HevcStreamDecoder, EveryFrameDecodesFromItsOwnPacketAndBadInputIsAnError) {
  auto frames = encodeFrames(128, 96, 6);
  ASSERT_EQ(frames.size(), 6u);
  ASSERT_TRUE(frames[0].keyframe);
  HevcStreamDecoder decoder;
  ASSERT_TRUE(decoder.open());
  EXPECT_FALSE(decoder.decode(frames[0].data, true, 1));  // before any parameter sets
  EXPECT_FALSE(decoder.setParameterSets(std::vector<uint8_t>{3, 0}));
  ASSERT_TRUE(decoder.setParameterSets(
      video::encodeParameterSetsPayload(frames[0].parameterSets, 128, 96)));
  for (const auto& frame : frames) {
    // No frames of delay: the picture comes back from the call that fed its packet.
    auto picture = decoder.decode(frame.data, frame.keyframe, frame.pts);
    ASSERT_TRUE(picture) << picture.error();
    EXPECT_EQ(picture->width, 128);
    EXPECT_EQ(picture->height, 96);
    EXPECT_EQ(picture->pts, frame.pts);
  }
  // The bar of the last frame (index 5: x 40-47) is bright in the luma plane, the rest dark.
  const auto luma = decoder.luma();
  ASSERT_EQ(luma.size(), 128u * 96);
  EXPECT_GT(luma[48 * 128 + 44], 180);
  EXPECT_LT(luma[48 * 128 + 100], 80);

  testing::TempDir dir;
  ASSERT_TRUE(decoder.writePng(dir.path() / "last.png"));
  std::ifstream png(dir.path() / "last.png", std::ios::binary);
  char signature[4] = {};
  png.read(signature, 4);
  EXPECT_EQ(std::string(signature + 1, 3), "PNG");
  EXPECT_FALSE(decoder.writePng("/nonexistent/dir/x.png"));

  // Bad input is an error, and the next keyframe decodes again.
  EXPECT_FALSE(decoder.decode(std::vector<uint8_t>{0, 0, 0, 9, 1}, false, 2));  // length past end
  EXPECT_TRUE(decoder.decode(frames[0].data, true, 3));
}

}  // namespace
}  // namespace ferrowin::client

// libx265 keeps allocations of its own until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
