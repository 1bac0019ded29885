// The client's audio output: the WAV file it writes.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "client/audio/wav_writer.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

using Bytes = std::vector<uint8_t>;

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
