// The Opus encoder on real libopus and libswresample: framing, timestamps, the configuration blob,
// conversion, the bitrate floor and every skip reason. (What the packets carry is decoded and
// measured end to end in the integration tests.)

#include "server/audio/opus_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace ferrowin::audio {
namespace {

using platform::AudioFormat;
using platform::AudioSampleBuffer;
using platform::AudioSampleKind;

struct Packet {
  Bytes data;
  uint64_t pts;
};

struct Harness {
  explicit Harness(int channels, int bitrate = 64) : encoder(channels, bitrate, "synthetic") {
    encoder.setStats(stats);
    encoder.onConfig = [this](const Bytes& blob) { configs.push_back(blob); };
    encoder.onAudio = [this](const Bytes& packet, uint64_t pts) { packets.push_back({packet, pts}); };
  }
  std::shared_ptr<AudioStreamStats> stats = std::make_shared<AudioStreamStats>();
  OpusEncoder encoder;
  std::vector<Bytes> configs;
  std::vector<Packet> packets;
};

/// A 440 Hz tone buffer of `frames` frames in the given format, amplitude 0.5.
AudioSampleBuffer toneBuffer(AudioFormat format, int frames, double seconds = 1.0) {
  AudioSampleBuffer buffer{.format = format, .frames = frames, .presentationTime = seconds};
  const int bytes = format.bitsPerChannel / 8;
  const int planes = format.interleaved ? 1 : format.channels;
  const int perPlane = format.interleaved ? format.channels : 1;
  buffer.planes.assign(static_cast<size_t>(planes),
                       std::vector<uint8_t>(static_cast<size_t>(frames * perPlane * bytes)));
  for (int i = 0; i < frames; ++i) {
    const double value = 0.5 * std::sin(2 * std::numbers::pi * 440.0 * i / format.sampleRate);
    for (int c = 0; c < format.channels; ++c) {
      auto& plane = buffer.planes[static_cast<size_t>(format.interleaved ? 0 : c)];
      uint8_t* at = plane.data() + static_cast<size_t>(((format.interleaved ? i * format.channels + c : i)) * bytes);
      if (format.kind == AudioSampleKind::floatingPoint) {
        const auto f = static_cast<float>(value);
        std::memcpy(at, &f, sizeof f);
      } else {
        const auto s = static_cast<int16_t>(value * 32767);
        std::memcpy(at, &s, sizeof s);
      }
    }
  }
  return buffer;
}

const AudioFormat kStereo48{48000, AudioSampleKind::floatingPoint, 32, true, 2};

TEST(OpusEncoder, PartialFramesCarryOverAndPtsStepsExactly20ms) {
  Harness h(2);
  h.encoder.encode(toneBuffer(kStereo48, 1024, 1.0000017));
  ASSERT_EQ(h.packets.size(), 1u);
  EXPECT_EQ(h.encoder.pendingFrames(), 64u);
  EXPECT_EQ(h.packets[0].pts, 1000001u);  // truncated to whole microseconds
  // The next buffer claims a time far away: packet times run on from the first buffer regardless.
  h.encoder.encode(toneBuffer(kStereo48, 1024, 7.5));
  ASSERT_EQ(h.packets.size(), 2u);
  EXPECT_EQ(h.encoder.pendingFrames(), 128u);
  EXPECT_EQ(h.packets[1].pts, 1020001u);
  for (int i = 0; i < 20; ++i) h.encoder.encode(toneBuffer(kStereo48, 480, 0.25));
  for (size_t i = 1; i < h.packets.size(); ++i) {
    EXPECT_EQ(h.packets[i].pts - h.packets[i - 1].pts, 20000u);
  }

  // A reset forgets the pending samples and the time; a negative time counts as zero.
  ASSERT_NE(h.encoder.pendingFrames(), 0u);
  h.encoder.reset();
  EXPECT_EQ(h.encoder.pendingFrames(), 0u);
  h.encoder.encode(toneBuffer(kStereo48, 960, -3.0));
  EXPECT_EQ(h.packets.back().pts, 0u);
}

// The identification header, byte for byte (the end-to-end tests decode with it, in mono and
// stereo).
TEST(OpusEncoder, ConfigurationBlobIsTheIdentificationHeaderSentThreeTimesOnce) {
  Harness h(2);
  h.encoder.sendConfigOnce();
  h.encoder.sendConfigOnce();
  h.encoder.encode(toneBuffer(kStereo48, 960));
  ASSERT_EQ(h.configs.size(), 3u);
  // "OpusHead", version 1, two channels, pre-skip 312, 48000 Hz, no gain, mapping family 0.
  const Bytes expected{'O',  'p',  'u',  's',  'H',  'e',  'a', 'd', 1, 2,
                       0x38, 0x01, 0x80, 0xBB, 0x00, 0x00, 0,   0,   0};
  for (const Bytes& blob : h.configs) EXPECT_EQ(blob, expected);
  EXPECT_EQ(h.stats->window().configsEncoded, 1);
  // After a reset the next session sends it again.
  h.encoder.reset();
  h.encoder.sendConfigOnce();
  EXPECT_EQ(h.configs.size(), 6u);
  EXPECT_EQ(OpusEncoder::configurationBlob(300)[9], 255);
}

TEST(OpusEncoder, ConversionAndItsSummary) {
  struct Case {
    const char* name;
    int channels;
    AudioFormat format;
    int frames;
    const char* summary;
    size_t packets;  // after one buffer
    double peak;     // of the converted samples (the input's is 0.5)
  };
  const Case cases[] = {
      {"stereo 48 kHz float needs no converter", 2, kStereo48, 1920,
       "synthetic=48000Hz float32 interleaved ch=2 encode=48000Hz frame=960 resample=false", 2,
       0.5},
      {"44.1 kHz is resampled", 2, {44100, AudioSampleKind::floatingPoint, 32, true, 2}, 4410,
       "synthetic=44100Hz float32 interleaved ch=2 encode=48000Hz frame=960 resample=true", 5,
       0.5},
      // The centre goes to both sides at -3 dB, and both sides into the centre at -3 dB each.
      {"planar 16-bit mono is up-mixed", 2, {48000, AudioSampleKind::signedInteger, 16, false, 1},
       1920, "synthetic=48000Hz int16 planar ch=1 encode=48000Hz frame=960 resample=false", 2,
       0.3536},
      {"stereo is down-mixed", 1, kStereo48, 1920,
       "synthetic=48000Hz float32 interleaved ch=2 encode=48000Hz frame=960 resample=false", 2,
       0.7071},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.channels);
    h.encoder.encode(toneBuffer(c.format, c.frames));
    EXPECT_EQ(h.stats->window().captureFormat, c.summary);
    // Resampling may hold back a few frames of filter delay, never a whole packet's worth.
    EXPECT_GE(h.packets.size(), c.packets - 1);
    EXPECT_LE(h.packets.size(), c.packets);
    EXPECT_NEAR(h.stats->window().peak, c.peak, 0.02);
    EXPECT_EQ(h.stats->window().skips, 0);
  }
}

TEST(OpusEncoder, BitrateHasAFloorOf16Kbps) {
  EXPECT_EQ(OpusEncoder(2, 8).bitrateKbps(), 16);
  EXPECT_EQ(OpusEncoder(2, 96).bitrateKbps(), 96);
  // The floor reaches libopus: 8 kbps asked, 16 kbps coded (one second of tone, ±10%).
  Harness h(2, 8);
  for (int i = 0; i < 100; ++i) h.encoder.encode(toneBuffer(kStereo48, 480));
  size_t bytes = 0;
  for (const auto& packet : h.packets) bytes += packet.data.size();
  EXPECT_NEAR(static_cast<double>(bytes * 8) / 1000, 16.0, 2.0);
}

TEST(OpusEncoder, EverySkipReasonDropsTheBufferAndCountsIt) {
  struct Case {
    const char* reason;
    int channels;
    AudioSampleBuffer buffer;
  };
  AudioSampleBuffer truncated = toneBuffer(kStereo48, 960);
  truncated.planes[0].pop_back();
  AudioSampleBuffer noFormat = toneBuffer(kStereo48, 960);
  noFormat.format = {};
  AudioSampleBuffer unsupported = toneBuffer({48000, AudioSampleKind::other, 32, true, 2}, 960);
  AudioSampleBuffer empty = toneBuffer(kStereo48, 0);
  const Case cases[] = {
      {"invalid_sample", 2, truncated},
      {"invalid_sample", 2, noFormat},
      {"encoder_init", 6, toneBuffer(kStereo48, 960)},  // mapping family 0 codes 1-2 channels
      {"pcm_extract", 2, unsupported},
      {"pcm_extract", 2, empty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Harness h(c.channels);
    h.encoder.encode(c.buffer);
    const auto window = h.stats->window();
    EXPECT_EQ(window.skips, 1);
    EXPECT_EQ(window.lastSkipReason, c.reason);
    EXPECT_TRUE(h.packets.empty());
    EXPECT_EQ(h.encoder.pendingFrames(), 0u);
    // The encoder keeps running: a good buffer afterwards still encodes (when it can).
    if (c.channels == 2) {
      h.encoder.encode(toneBuffer(kStereo48, 960));
      EXPECT_EQ(h.packets.size(), 1u);
    }
  }
}

}  // namespace
}  // namespace ferrowin::audio
