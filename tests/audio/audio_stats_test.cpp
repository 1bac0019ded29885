// The audio statistics: the window line with its hint, the error line for skips, and the hints
// no other test reaches.

#include "server/audio/audio_stream_stats.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace ferrowin::audio {
namespace {

// The hints no other test reaches (audio off, no sound server buffers, a silent capture and a
// good send show in the streamer, end-to-end and window line tests).
TEST(AudioStreamStats, HintNamesWhereAudioStops) {
  using W = AudioStreamStats::Window;
  EXPECT_EQ(AudioStreamStats::hint(
                W{.codec = "opus", .captures = 100, .packetsEncoded = 50, .peak = 0.2f}),
            "encoded but not sent — check transport wiring");
  EXPECT_EQ(AudioStreamStats::hint(W{.codec = "opus", .captures = 3, .peak = 0.2f}), "warming up");
}

TEST(AudioStreamStats, LogsOneLinePerWindow) {
  testing::LogCapture log;
  AudioStreamStats stats;
  stats.setEnabled(true);
  stats.sessionStart("opus");
  stats.setCaptureFormat("pulse=48000Hz float32 interleaved ch=2 encode=48000Hz frame=960 resample=false");
  for (int i = 0; i < 100; ++i) stats.recordCapture();
  stats.recordConfigEncoded();
  for (int i = 0; i < 3; ++i) stats.recordConfigSent();
  for (int i = 0; i < 50; ++i) stats.recordPacketEncoded(), stats.recordPacketSent();
  stats.recordPeak(0.25f);
  stats.recordPeak(0.125f);
  stats.recordSkip("invalid_sample");
  stats.recordSkip("pcm_extract");
  EXPECT_TRUE(stats.logIfDue(10.0));
  EXPECT_FALSE(stats.logIfDue(10.5));  // within the second: nothing, and nothing lost
  stats.recordCapture();
  EXPECT_TRUE(stats.logIfDue(11.0));

  const auto messages = log.messages();
  const std::vector<std::string> expected = {
      "[server][audio] session_start codec=opus",
      "[server][audio] capture_format=pulse=48000Hz float32 interleaved ch=2 encode=48000Hz "
      "frame=960 resample=false",
      "[server][audio] codec=opus capture=100/s encode_pkts=50/s config_enc=1 config_sent=3 "
      "send_pkts=50/s encode_skips=2 peak=0.2500 hint=send ok — check client [client][audio] "
      "recv/decode/play capture_fmt=pulse=48000Hz float32 interleaved ch=2 encode=48000Hz "
      "frame=960 resample=false",
      "[server][audio] encode_skip reason=pcm_extract count=2",
      "[server][audio] codec=opus capture=1/s encode_pkts=0/s config_enc=0 config_sent=0 "
      "send_pkts=0/s encode_skips=0 peak=0.0000 hint=capture peak near zero — play audio on the "
      "host (not ferrowin-server) capture_fmt=pulse=48000Hz float32 interleaved ch=2 "
      "encode=48000Hz frame=960 resample=false",
  };
  EXPECT_EQ(messages, expected);
}

}  // namespace
}  // namespace ferrowin::audio
