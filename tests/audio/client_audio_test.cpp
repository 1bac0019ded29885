// The client's audio: configuration parsing and its refusals, decoding, the report's missing
// packets, peak and latencies, and the WAV file.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

#include "client/audio/opus_stream_decoder.h"
#include "client/audio/wav_writer.h"
#include "server/audio/opus_encoder.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(OpusHead, ParsesTheHostsBlobAndRefusesWhatItCannotDecode) {
  const Bytes good = audio::OpusEncoder::configurationBlob(2);
  auto head = parseOpusHead(good);
  ASSERT_TRUE(head);
  EXPECT_EQ(*head, (OpusHead{2, 312, 48000}));

  auto with = [&](size_t index, uint8_t value) {
    Bytes bytes = good;
    bytes[index] = value;
    return bytes;
  };
  const std::pair<Bytes, const char*> bad[] = {
      {Bytes(good.begin(), good.end() - 1), "audio configuration too short"},
      {with(0, 'o'), "audio configuration is not OpusHead"},
      {with(8, 2), "unknown OpusHead version"},
      {with(9, 0), "unsupported channel count 0"},
      {with(9, 6), "unsupported channel count 6"},
      {with(18, 1), "unsupported channel mapping family"},
  };
  for (const auto& [bytes, error] : bad) {
    auto parsed = parseOpusHead(bytes);
    ASSERT_FALSE(parsed) << error;
    EXPECT_EQ(parsed.error(), error);
  }
}

TEST(OpusStreamDecoder, PacketsBeforeConfigurationOrGarbageAreErrorsNotCrashes) {
  OpusStreamDecoder decoder;
  EXPECT_FALSE(decoder.decode(Bytes{1, 2, 3}));
  ASSERT_TRUE(decoder.configure(audio::OpusEncoder::configurationBlob(1)));
  EXPECT_FALSE(decoder.decode(Bytes{}));
  // A same configuration again keeps the decoder (and the pre-skip already paid).
  ASSERT_TRUE(decoder.configure(audio::OpusEncoder::configurationBlob(1)));
  EXPECT_EQ(decoder.channels(), 1);
  ASSERT_TRUE(decoder.configure(audio::OpusEncoder::configurationBlob(2)));
  EXPECT_EQ(decoder.channels(), 2);
}

TEST(AudioStats, CountsMissingPacketsFromPtsGapsAndKeepsPeakAndLatency) {
  AudioStats stats;
  const std::vector<float> quiet(10, 0.1f), loud{0.0f, -0.75f};
  stats.recordPacket(1000000, 20, quiet);
  stats.recordPacket(1020000, 22, quiet);
  stats.recordPacket(1080000, 24, loud);   // 1040000 and 1060000 never came
  stats.recordPacket(1060000, 30, quiet);  // late: not a gap, not a new expectation
  stats.recordPacket(1100000, 26, quiet);
  stats.recordError();
  const auto window = stats.takeWindow();
  EXPECT_EQ(window.packets, 5u);
  EXPECT_EQ(window.errors, 1u);
  EXPECT_EQ(window.missing, 2u);
  EXPECT_FLOAT_EQ(window.peak, 0.75f);
  EXPECT_DOUBLE_EQ(window.p50, 24);
  EXPECT_DOUBLE_EQ(window.p99, 30);
  const auto next = stats.takeWindow();
  EXPECT_EQ(next.packets, 0u);
  EXPECT_EQ(next.missing, 0u);
  EXPECT_EQ(next.peak, 0.0f);
  EXPECT_EQ(stats.total().missing, 2u);
  EXPECT_EQ(stats.total().packets, 5u);
}

TEST(WavWriter, WritesA16BitPcmFileWithItsSizes) {
  testing::TempDir dir;
  const auto path = dir.path() / "out.wav";
  WavWriter wav;
  ASSERT_TRUE(wav.open(path, 2, 48000));
  const std::vector<float> samples{0.0f, 1.0f, -1.0f, 2.0f};  // 2.0 clips
  wav.write(samples);
  ASSERT_TRUE(wav.close());
  std::ifstream in(path, std::ios::binary);
  const Bytes bytes{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(bytes.size(), 44u + 8);
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                 bytes[at + 3] << 24);
  };
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(u32(4), 36u + 8);
  EXPECT_EQ(bytes[22], 2);         // channels
  EXPECT_EQ(u32(24), 48000u);      // rate
  EXPECT_EQ(bytes[34], 16);        // bits
  EXPECT_EQ(u32(40), 8u);          // data bytes
  const Bytes data(bytes.begin() + 44, bytes.end());
  EXPECT_EQ(data, (Bytes{0, 0, 0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x7F}));
  EXPECT_FALSE(WavWriter().open(dir.path() / "missing" / "x.wav", 1, 48000));
}

}  // namespace
}  // namespace ferrowin::client
