// The real encoder: what it produces must decode with ffmpeg, carry the colour tags, and follow the
// keyframe rules. Sizes and frame counts stay small; these run on a shared two-core machine.

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>

#include "platform/video_encoder.h"
#include "server/capture/annexb.h"
#include "tests/capture/test_media.h"
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
  VideoEncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.fps = fps;
  settings.bitrateKbps = 800;
  settings.colorSpace = space;
  settings.preference = EncoderPreference::software;
  auto encoder = platform::createHevcEncoder(settings);
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
    if (!testing::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/bootstrap)";
  }
  testing::TempDir dir_;
};

TEST_F(EncoderTest, StreamDecodesWithKeyframesEveryTwoSecondsOfFrames) {
  const int width = 192, height = 112, fps = 10, frames = 45;
  auto encoder = softwareEncoder(width, height, fps, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  EXPECT_EQ(encoder->codecName(), "libx265");
  std::vector<Output> outputs;
  for (int i = 0; i < frames; ++i) {
    auto output = encodeAndWait(*encoder, testing::movingFrame(width, height, i), i * 100'000);
    ASSERT_TRUE(output) << output.error().description();
    outputs.push_back(std::move(*output));
  }
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE(i);
    const Output& output = outputs[i];
    EXPECT_EQ(output.pts, i * 100'000);
    EXPECT_EQ(output.keyframe, i % (2 * fps) == 0);
    EXPECT_FALSE(output.unit.data.empty());
    if (output.keyframe) {
      ASSERT_EQ(output.unit.parameterSets.size(), 3u);
      EXPECT_EQ(capture::hevcNalType(output.unit.parameterSets[0]), 32);
      EXPECT_EQ(capture::hevcNalType(output.unit.parameterSets[1]), 33);
      EXPECT_EQ(capture::hevcNalType(output.unit.parameterSets[2]), 34);
    } else {
      EXPECT_TRUE(output.unit.parameterSets.empty());
    }
  }
  writeStream(dir_ / "stream.hevc", outputs);
  const auto decoded = testing::runCommand("ffmpeg -nostdin -v error -i " +
                                           (dir_ / "stream.hevc").string() +
                                           " -f rawvideo -pix_fmt rgb24 " +
                                           (dir_ / "out.rgb").string());
  EXPECT_EQ(decoded.exitCode, 0);
  EXPECT_EQ(decoded.output, "");
  EXPECT_EQ(std::filesystem::file_size(dir_ / "out.rgb"), size_t(frames) * width * height * 3);
}

TEST_F(EncoderTest, ColourTagsAndMatrixMatchTheColourSpace) {
  struct Case {
    platform::EncoderColorSpace space;
    std::string primaries;
  };
  for (const Case& c : {Case{platform::EncoderColorSpace::srgb, "bt709"},
                        Case{platform::EncoderColorSpace::displayP3, "smpte432"}}) {
    SCOPED_TRACE(c.primaries);
    const int width = 64, height = 64;
    auto encoder = softwareEncoder(width, height, 30, c.space);
    ASSERT_TRUE(encoder);
    std::vector<Output> outputs;
    for (int i = 0; i < 3; ++i) {
      // Saturated orange: a matrix mismatch between conversion and tags moves it visibly.
      auto output = encodeAndWait(*encoder, testing::solidFrame(width, height, 0, 128, 255), i);
      ASSERT_TRUE(output);
      outputs.push_back(std::move(*output));
    }
    const auto path = dir_ / ("colour-" + c.primaries + ".hevc");
    writeStream(path, outputs);
    const auto probe = testing::runCommand(
        "ffprobe -v error -select_streams v:0 -show_entries "
        "stream=color_primaries,color_transfer,color_space,color_range -of default=nw=1 " +
        path.string());
    EXPECT_NE(probe.output.find("color_primaries=" + c.primaries), std::string::npos)
        << probe.output;
    EXPECT_NE(probe.output.find("color_transfer=iec61966-2-1"), std::string::npos);
    EXPECT_NE(probe.output.find("color_space=bt709"), std::string::npos);
    EXPECT_NE(probe.output.find("color_range=tv"), std::string::npos);

    const auto rgb = dir_ / "colour.rgb";
    ASSERT_EQ(testing::runCommand("ffmpeg -nostdin -v error -y -i " + path.string() +
                                  " -frames:v 1 -f rawvideo -pix_fmt rgb24 " + rgb.string())
                  .exitCode,
              0);
    std::ifstream file(rgb, std::ios::binary);
    file.seekg((32 * width + 32) * 3);
    uint8_t pixel[3] = {};
    file.read(reinterpret_cast<char*>(pixel), 3);
    EXPECT_NEAR(pixel[0], 255, 6);
    EXPECT_NEAR(pixel[1], 128, 6);
    EXPECT_NEAR(pixel[2], 0, 6);
  }
}

TEST_F(EncoderTest, KeyframeEveryTwoSecondsWhenFramesComeSlowly) {
  // 60 fps configured (120-frame interval) but a frame only every 250 ms: the 2-second rule wins.
  auto encoder = softwareEncoder(64, 64, 60, platform::EncoderColorSpace::displayP3);
  ASSERT_TRUE(encoder);
  std::vector<int> keyframes;
  for (int i = 0; i < 18; ++i) {
    auto output = encodeAndWait(*encoder, testing::movingFrame(64, 64, i), i * 250'000);
    ASSERT_TRUE(output);
    if (output->keyframe) keyframes.push_back(i);
  }
  EXPECT_EQ(keyframes, (std::vector<int>{0, 8, 16}));
}

TEST_F(EncoderTest, ForcedKeyframeCarriesParameterSets) {
  auto encoder = softwareEncoder(64, 64, 30, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  ASSERT_TRUE(encodeAndWait(*encoder, testing::movingFrame(64, 64, 0), 0));
  auto plain = encodeAndWait(*encoder, testing::movingFrame(64, 64, 1), 33'000);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->keyframe);
  auto forced = encodeAndWait(*encoder, testing::movingFrame(64, 64, 2), 66'000, true);
  ASSERT_TRUE(forced);
  EXPECT_TRUE(forced->keyframe);
  EXPECT_EQ(forced->unit.parameterSets.size(), 3u);
}

TEST_F(EncoderTest, BadFramesAreAnsweredWithAnErrorAndTheSessionGoesOn) {
  auto encoder = softwareEncoder(64, 64, 30, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  auto wrongSize = encodeAndWait(*encoder, testing::movingFrame(32, 32, 0), 0);
  ASSERT_FALSE(wrongSize);
  EXPECT_EQ(wrongSize.error().code, VideoEncoderError::Code::encodeFailed);
  auto good = encodeAndWait(*encoder, testing::movingFrame(64, 64, 1), 1);
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->keyframe);
}

TEST_F(EncoderTest, DestroyingTheEncoderAnswersEveryQueuedFrameOnce) {
  auto encoder = softwareEncoder(192, 112, 30, platform::EncoderColorSpace::srgb);
  ASSERT_TRUE(encoder);
  // The session above counts frames in flight by answers: a lost answer would stall it for good.
  std::atomic<int> answers{0};
  for (int i = 0; i < 6; ++i) {
    encoder->encode(testing::movingFrame(192, 112, i), i, false, [&](auto) { ++answers; });
  }
  encoder.reset();
  EXPECT_EQ(answers.load(), 6);
}

TEST(EncoderCreation, HardwarePreferenceWithoutHardwareFailsWithTheHostText) {
  VideoEncoderSettings settings;
  settings.width = 640;
  settings.height = 480;
  settings.preference = EncoderPreference::hardware;
  auto encoder = platform::createHevcEncoder(settings);
  if (encoder) GTEST_SKIP() << "this machine has a hardware encoder: " << (*encoder)->codecName();
  EXPECT_EQ(encoder.error().code, VideoEncoderError::Code::hardwareUnavailable);
  EXPECT_EQ(encoder.error().description(),
            "Failed to create HEVC encoder: hardware low-latency encoding is unavailable on this "
            "computer (status " +
                std::to_string(encoder.error().status) + ").");
}

TEST(EncoderCreation, ImpossibleSettingsFailWithStatus) {
  VideoEncoderSettings settings;
  settings.width = 0;
  settings.height = 480;
  settings.preference = EncoderPreference::software;
  auto encoder = platform::createHevcEncoder(settings);
  ASSERT_FALSE(encoder);
  EXPECT_EQ(encoder.error().description(),
            "Failed to create HEVC encoder (status " + std::to_string(encoder.error().status) +
                ").");
  EXPECT_NE(encoder.error().status, 0);
}

TEST(EncoderCreation, PreferenceTexts) {
  EXPECT_EQ(platform::encoderPreferenceFromText("auto"), EncoderPreference::automatic);
  EXPECT_EQ(platform::encoderPreferenceFromText("hardware"), EncoderPreference::hardware);
  EXPECT_EQ(platform::encoderPreferenceFromText("software"), EncoderPreference::software);
  EXPECT_EQ(platform::encoderPreferenceFromText("Auto"), std::nullopt);
  EXPECT_EQ(platform::encoderPreferenceText(EncoderPreference::automatic), "auto");
  using platform::resolveEncoderPreference;
  EXPECT_EQ(resolveEncoderPreference("software", "hardware"), EncoderPreference::software);
  EXPECT_EQ(resolveEncoderPreference(std::nullopt, "hardware"), EncoderPreference::hardware);
  EXPECT_EQ(resolveEncoderPreference(std::nullopt, "bogus"), EncoderPreference::automatic);
  EXPECT_EQ(resolveEncoderPreference(std::nullopt, std::nullopt), EncoderPreference::automatic);
}

}  // namespace
}  // namespace ferrowin

// libx265 keeps a few small buffers from every encoder it opens (FrameFilter::init) and never
// frees them; under LeakSanitizer that is its leak, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
