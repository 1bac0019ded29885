// The real encoder: what it produces must decode with ffmpeg, carry the colour tags, and follow the
// keyframe rules. Sizes and frame counts stay small; these run on a shared two-core machine.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <fstream>
#include <future>

#include "platform/video_encoder.h"
#include "platform/yuv_conversion.h"
#include "protocol/annexb.h"
#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"
#include "tests/support/temp_dir.h"

namespace ferrowin {
namespace {

using platform::EncoderPreference;
using platform::VideoEncoder;
using platform::VideoEncoderError;
using platform::VideoEncoderSettings;

struct Output {
  capture::LengthPrefixedAccessUnit unit;
  bool keyframe = false;
  int64_t pts = 0;
};

// A picture with a bar that moves with `index`, so consecutive frames differ.
platform::BgraFrame movingFrame(int width, int height, int index) {
  platform::BgraFrame frame = platform::allocateBgraFrame(width, height);
  const int barX = (index * 7) % width;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      auto* p = const_cast<uint8_t*>(frame.at(x, y));
      const bool bar = x >= barX && x < barX + 16;
      p[0] = bar ? 255 : uint8_t(x * 255 / width);
      p[1] = bar ? 255 : uint8_t(y * 255 / height);
      p[2] = bar ? 255 : 64;
      p[3] = 255;
    }
  }
  return frame;
}

// Encodes one frame and waits for its answer.
Expected<Output, VideoEncoderError> encodeAndWait(VideoEncoder& encoder, platform::BgraFrame frame,
                                                  int64_t pts, bool force = false) {
  std::promise<Expected<platform::EncodedPacket, VideoEncoderError>> answer;
  auto future = answer.get_future();
  encoder.encode(std::move(frame), pts, force, [&](auto result) { answer.set_value(result); });
  auto result = future.get();
  if (!result) return unexpected(result.error());
  return Output{capture::toLengthPrefixed(result->annexB), result->keyframe, result->ptsMicros};
}

std::unique_ptr<VideoEncoder> softwareEncoder(int width, int height, int fps,
                                              platform::EncoderColorSpace space) {
  auto encoder = platform::createHevcEncoder({.width = width,
                                              .height = height,
                                              .fps = fps,
                                              .bitrateKbps = 800,
                                              .colorSpace = space,
                                              .preference = EncoderPreference::software});
  EXPECT_TRUE(encoder) << encoder.error().description();
  return encoder ? std::move(*encoder) : nullptr;
}

// Writes the outputs back as an Annex B elementary stream, the way a client feeds its decoder.
void writeStream(const std::filesystem::path& path, const std::vector<Output>& outputs) {
  std::ofstream file(path, std::ios::binary);
  for (const Output& output : outputs) {
    auto annexB = capture::toAnnexB(output.keyframe ? output.unit.parameterSets
                                                    : std::vector<std::vector<uint8_t>>{},
                                     output.unit.data);
    ASSERT_TRUE(annexB);
    file.write(reinterpret_cast<const char*>(annexB->data()), std::streamsize(annexB->size()));
  }
}

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::onPath("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/bootstrap)";
  }
  testing::TempDir dir_;
};

// Keyframes with their parameter sets every two seconds of frames, or of time when frames come
// slowly. (That the stream decodes runs end to end in the integration tests.)
TEST_F(EncoderTest, KeyframesComeEveryTwoSecondsOfFramesOrOfTime) {
  struct Case {
    int fps;
    int64_t stepMicros;
    int frames;
    std::vector<int> keyframes;
  };
  const Case cases[] = {{10, 100'000, 45, {0, 20, 40}}, {60, 250'000, 18, {0, 8, 16}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    auto encoder = softwareEncoder(64, 64, c.fps, platform::EncoderColorSpace::srgb);
    ASSERT_TRUE(encoder);
    EXPECT_EQ(encoder->codecName(), "libx265");
    std::vector<int> keyframes;
    for (int i = 0; i < c.frames; ++i) {
      auto output = encodeAndWait(*encoder, movingFrame(64, 64, i), i * c.stepMicros);
      ASSERT_TRUE(output) << output.error().description();
      EXPECT_EQ(output->pts, i * c.stepMicros);
      EXPECT_FALSE(output->unit.data.empty());
      EXPECT_EQ(output->unit.parameterSets.size(), output->keyframe ? 3u : 0u) << i;
      if (!output->keyframe) continue;
      keyframes.push_back(i);
      EXPECT_EQ(capture::hevcNalType(output->unit.parameterSets[0]), 32);
      EXPECT_EQ(capture::hevcNalType(output->unit.parameterSets[2]), 34);
    }
    EXPECT_EQ(keyframes, c.keyframes);
  }
}

// The stream's colour tags tell the client's decoder how to show it, and the pixels are in the
// tagged primaries (the conversion itself is checked in yuv_conversion_test).
TEST_F(EncoderTest, ColourTagsMatchTheColourSpaceAndP3StreamsCarryP3Pixels) {
  const std::pair<platform::EncoderColorSpace, std::string> cases[] = {
      {platform::EncoderColorSpace::srgb, "bt709"},
      {platform::EncoderColorSpace::displayP3, "smpte432"}};
  for (const auto& [space, primaries] : cases) {
    SCOPED_TRACE(primaries);
    auto encoder = softwareEncoder(64, 64, 30, space);
    ASSERT_TRUE(encoder);
    auto output = encodeAndWait(*encoder, movingFrame(64, 64, 0), 0);
    ASSERT_TRUE(output);
    const auto path = dir_ / ("colour-" + primaries + ".hevc");
    writeStream(path, {*output});
    const auto probe = testing::runCommand(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=color_primaries,color_transfer,color_space,color_range -of default=nw=1 " +
        path.string());
    EXPECT_EQ(probe,
              "color_range=tv\ncolor_space=bt709\ncolor_transfer=iec61966-2-1\n"
              "color_primaries=" +
                  primaries + "\n");
    const std::string rgb = testing::runCommand("ffmpeg -nostdin -v error -i " + path.string() +
                                                " -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), 64u * 64 * 3);
    const std::array<uint8_t, 3> source{64, 127, 191};  // red, green, blue at (48, 32)
    const auto expected = space == platform::EncoderColorSpace::displayP3
                              ? platform::srgbToDisplayP3(source)
                              : source;
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(uint8_t(rgb[(32 * 64 + 48) * 3 + c]), expected[c], 3) << "channel " << c;
  }
}

TEST_F(EncoderTest, ForcedKeyframesBadFramesAndDestroyingWithFramesQueued) {
  auto encoder = softwareEncoder(64, 64, 30, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(encodeAndWait(*encoder, movingFrame(64, 64, 0), 0));
  auto wrongSize = encodeAndWait(*encoder, movingFrame(32, 32, 1), 1);
  ASSERT_FALSE(wrongSize);
  EXPECT_EQ(wrongSize.error().code, VideoEncoderError::Code::encodeFailed);
  auto plain = encodeAndWait(*encoder, movingFrame(64, 64, 2), 33'000);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->keyframe);
  auto forced = encodeAndWait(*encoder, movingFrame(64, 64, 3), 66'000, true);
  ASSERT_TRUE(forced);
  EXPECT_TRUE(forced->keyframe);
  EXPECT_EQ(forced->unit.parameterSets.size(), 3u);

  // Destroying an encoder answers every queued frame once.
  encoder = softwareEncoder(192, 112, 30, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  // The session above counts frames in flight by answers: a lost answer would stall it for good.
  std::atomic<int> answers{0};
  for (int i = 0; i < 6; ++i) {
    encoder->encode(movingFrame(192, 112, i), i, false, [&](auto) { ++answers; });
  }
  encoder.reset();
  EXPECT_EQ(answers.load(), 6);
}

TEST(EncoderCreation, FailuresCarryTheHostTextAndStatus) {
  VideoEncoderSettings settings{.height = 480, .preference = EncoderPreference::software};
  auto impossible = platform::createHevcEncoder(settings);
  ASSERT_FALSE(impossible);
  EXPECT_NE(impossible.error().status, 0);
  EXPECT_EQ(impossible.error().description(), "Failed to create HEVC encoder (status " +
                                                  std::to_string(impossible.error().status) + ").");

  settings.width = 640;
  settings.preference = EncoderPreference::hardware;
  auto hardware = platform::createHevcEncoder(settings);
  if (hardware) GTEST_SKIP() << "this machine has a hardware encoder: " << (*hardware)->codecName();
  EXPECT_EQ(hardware.error().code, VideoEncoderError::Code::hardwareUnavailable);
  EXPECT_EQ(hardware.error().description(),
            "Failed to create HEVC encoder: hardware low-latency encoding is unavailable on this "
            "computer (status " +
                std::to_string(hardware.error().status) + ").");
}

TEST(EncoderCreation, PreferenceTexts) {
  EXPECT_EQ(platform::encoderPreferenceFromText("Auto"), std::nullopt);
  // The command line wins over the stored setting; an unknown stored text is automatic.
  using platform::resolveEncoderPreference;
  EXPECT_EQ(resolveEncoderPreference("software", "hardware"), EncoderPreference::software);
  EXPECT_EQ(resolveEncoderPreference(std::nullopt, "hardware"), EncoderPreference::hardware);
  EXPECT_EQ(resolveEncoderPreference(std::nullopt, "bogus"), EncoderPreference::automatic);
}

}  // namespace
}  // namespace ferrowin

// libx265 keeps a few small buffers from every encoder it opens (FrameFilter::init) and never
// frees them; under LeakSanitizer that is its leak, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
