// The client's audio: the report's missing packets, peak and latencies, and the WAV file.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "client/audio/opus_stream_decoder.h"
#include "client/audio/wav_writer.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

using Bytes = std::vector<uint8_t>;

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
