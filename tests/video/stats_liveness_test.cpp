#include <gtest/gtest.h>

#include "common/runtime/clock.h"
#include "server/video/client_liveness.h"
#include "server/video/stream_stats.h"
#include "tests/support/log_capture.h"

namespace ferrowin::video {
namespace {

TEST(Liveness, TheFirstCheckAfterTenSilentSecondsStopsOnceAndARestartOrStopSilencesIt) {
  common::ManualClock clock;
  VideoClientLiveness liveness(clock, clock);
  int first = 0, second = 0;
  liveness.start([&] { ++first; });
  clock.advance(8.0);
  liveness.start([&] { ++second; });  // a new flow restarts the watch
  clock.advance(5.0);
  liveness.touch();     // last activity at +13
  clock.advance(10.0);  // checks up to +23: 23 - 13 = 10, not more than 10
  EXPECT_EQ(second, 0);
  clock.advance(1.0);  // 11 s of silence
  EXPECT_EQ(second, 1);
  clock.advance(30.0);
  EXPECT_EQ(second, 1);  // at most once per start
  EXPECT_EQ(first, 0);
  EXPECT_EQ(clock.pendingTimers(), 0u);
  liveness.start([&] { ++second; });
  liveness.stop();
  clock.advance(20.0);
  EXPECT_EQ(second, 1);
}

TEST(StreamStats, IntervalsDeltasSkewAndFps) {
  VideoStreamStats stats;
  stats.setTargetIntervalMs(16.0);
  stats.recordFrameCapture(1000, 10.0);
  stats.recordFrameCapture(17000, 10.016);
  stats.recordFrameCapture(500, 10.032);  // pts went backwards: no delta
  stats.recordFrameSend(100000, 1.0);
  stats.recordFrameSend(120000, 1.030);  // 30 ms apart, pts 20 ms apart
  stats.recordFrameSend(50000, 1.050);   // pts backwards: expected = target 16
  auto s = stats.snapshot();
  ASSERT_EQ(s.captureIntervalMs.size(), 2u);
  EXPECT_NEAR(s.captureIntervalMs[0], 16.0, 1e-6);
  EXPECT_EQ(s.ptsDeltaMs, std::vector<double>{16.0});
  ASSERT_EQ(s.skewMs.size(), 2u);
  EXPECT_NEAR(s.skewMs[0], 10.0, 1e-6);
  EXPECT_NEAR(s.skewMs[1], 4.0, 1e-6);
  EXPECT_NEAR(s.avgLogicalSendIntervalMs, 25.0, 1e-6);

  VideoStreamStats fps;
  for (int i = 0; i < 60; ++i) fps.recordFrameCapture(i * 16000, 20.0 + i / 60.0);
  EXPECT_EQ(fps.snapshot().captureFps, 60);
  for (int i = 0; i < 200; ++i) fps.recordEncodeDuration(i);
  EXPECT_EQ(fps.snapshot().minEncodeMs, 80);  // only the newest 120 are kept
  EXPECT_EQ(fps.snapshot().maxEncodeMs, 199);
}

TEST(StreamStats, LogsOncePerSecondWithTheWindowCounters) {
  testing::LogCapture log;
  VideoStreamStats stats;
  stats.setColorSpaceSummary("P3_D65/sRGB/709");
  stats.recordRetransmission();
  stats.recordKeyframe();
  stats.raiseMaxOutboundDepth(4);
  stats.raiseMaxOutboundDepth(2);
  EXPECT_TRUE(stats.logIfDue(100.0));
  stats.recordRetransmission();
  EXPECT_FALSE(stats.logIfDue(100.5));
  EXPECT_EQ(stats.retransmittedInWindow(), 1);  // the second window keeps its count
  EXPECT_TRUE(stats.logIfDue(101.0));
  auto lines = log.messages();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "[server] color=P3_D65/sRGB/709 capture_fps=0.0 capture_ms avg=0.00 encode_ms "
            "avg=0.00 min=0.00 max=0.00 send_ms avg=0.00 skew_ms avg=0.00 replaced=0 "
            "outbound_max=4 keyframes=1 retransmitted=1 host_ms p50=0.00 p99=0.00 stage_ms "
            "capture=0.00 queue=0.00 convert=0.00 encode=0.00 packetize=0.00 send=0.00");
  EXPECT_NE(lines[1].find("retransmitted=1"), std::string::npos);
  EXPECT_NE(lines[1].find("keyframes=0"), std::string::npos);
}

// A frame's stages from the times each part of the host reports; frames that never reach the
// transport are dropped from the books once a later one goes out.
TEST(StreamStats, TimesEachStageOfAFrameAndTheHostLatencyPerWindow) {
  testing::LogCapture log;
  VideoStreamStats stats;
  auto frame = [&](uint64_t ptsMicros, bool sent) {
    const double t = static_cast<double>(ptsMicros) / 1e6;
    stats.recordFrameCapture(ptsMicros, t + 0.002);                 // capture 2 ms
    stats.recordFrameEncoded(ptsMicros, 1.0, 5.0, false, t + 0.010);  // queue 2 ms
    if (!sent) return;
    stats.recordFrameSend(ptsMicros, t + 0.011);
    stats.recordFrameSent(ptsMicros, t + 0.012, t + 0.0125);  // packetize 1 ms, send 0.5 ms
  };
  frame(100'000'000, false);  // dropped on the way
  frame(100'016'000, true);
  stats.recordFrameEncoded(100'032'000, 1, 1, true, 100.04);  // never captured: ignored
  stats.recordFrameSent(100'032'000, 100.04, 100.05);
  const auto sent = stats.snapshot().sentFrames;
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NEAR(sent[0].capture, 2.0, 1e-6);
  EXPECT_NEAR(sent[0].queue, 2.0, 1e-6);
  EXPECT_NEAR(sent[0].convert, 1.0, 1e-9);
  EXPECT_NEAR(sent[0].encode, 5.0, 1e-9);
  EXPECT_NEAR(sent[0].packetize, 1.0, 1e-6);
  EXPECT_NEAR(sent[0].send, 0.5, 1e-6);
  EXPECT_NEAR(sent[0].host, 12.5, 1e-6);

  for (uint64_t i = 2; i < 99; ++i) frame(100'000'000 + i * 16'000, true);
  stats.recordFrameCapture(200'000'000, 200.002);
  stats.recordFrameEncoded(200'000'000, 1, 5, true, 200.150);  // one slow keyframe: 150.5 ms
  stats.recordFrameSent(200'000'000, 200.150, 200.1505);
  EXPECT_TRUE(stats.logIfDue(201.0));
  EXPECT_TRUE(stats.snapshot().sentFrames.empty());
  const std::string line = log.messages().back();
  EXPECT_NE(line.find(" host_ms p50=12.50 p99=150.50 stage_ms capture=2.00 "), std::string::npos)
      << line;
  EXPECT_NE(line.find(" convert=1.00 encode=5.00 "), std::string::npos) << line;
}

TEST(StreamStats, PercentileIsTheNearestRank) {
  EXPECT_EQ(percentile({}, 0.5), 0);
  EXPECT_EQ(percentile({3, 1, 2}, 0.5), 2);
  EXPECT_EQ(percentile({3, 1, 2}, 0.99), 3);
  EXPECT_EQ(percentile({4, 1, 3, 2}, 0.5), 2);
  EXPECT_EQ(percentile({7}, 0.01), 7);
}

}  // namespace
}  // namespace ferrowin::video
