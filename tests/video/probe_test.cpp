#include <gtest/gtest.h>

#include "client/video/video_client.h"
#include "server/video/network_probe.h"
#include "server/video/udp_transport.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freePort();
    transport = VideoUDPTransport::create(main.context());
    transport->setAllowPeer([](const std::string&) { return true; });
    ASSERT_TRUE(transport->start(port, streamer, stats, gate, {}));
  }
  void TearDown() override {
    transport->stop();
    main.sync();
  }

  MainThread main;
  std::shared_ptr<ScriptedStreamer> streamer = std::make_shared<ScriptedStreamer>();
  std::shared_ptr<VideoStreamStats> stats = std::make_shared<VideoStreamStats>();
  std::shared_ptr<VideoDiagnosticsGate> gate = std::make_shared<VideoDiagnosticsGate>();
  std::shared_ptr<VideoUDPTransport> transport;
  uint16_t port = 0;
};

TEST_F(ProbeTest, FiveStepsArePacedEvenlyOverOnePointTwoSeconds) {
  client::VideoClientOptions options;
  options.port = port;
  client::UdpVideoClient client(options);
  ASSERT_TRUE(client.startProbe());
  std::this_thread::sleep_for(std::chrono::milliseconds(7400));
  const client::ProbeReport report = client.probeReport();
  ASSERT_EQ(report.steps.size(), 5u);
  uint32_t sequence = 1;
  for (size_t step = 0; step < 5; ++step) {
    const int expected = NetworkProbeSender::datagramsForStep(NetworkProbeSender::kRatesMbps[step]);
    const auto& s = report.steps[step];
    EXPECT_EQ(s.minSequence, sequence);
    EXPECT_EQ(s.maxSequence, sequence + expected - 1);
    EXPECT_GE(s.datagrams, static_cast<uint64_t>(expected * 0.95)) << step;
    // Spread over the step: the last datagram leaves (count-1)/count of 1.2 s after the first.
    EXPECT_NEAR(s.lastArrival - s.firstArrival, 1.2 * (expected - 1) / expected, 0.15) << step;
    sequence += expected;
  }
  EXPECT_GE(report.usableMbps(), 10);
  EXPECT_GE(streamer->stops(), 1);  // a probe request stops the capture
}

}  // namespace
}  // namespace ferrowin::video
