#include <gtest/gtest.h>

#include <set>

#include "client/video/video_client.h"
#include "common/runtime/clock.h"
#include "server/video/network_probe.h"
#include "server/video/udp_transport.h"
#include "tests/support/log_capture.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;

class UdpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { port = freePort(); }
  void TearDown() override {
    if (transport) transport->stop();
    main.sync();
  }

  void start(VideoTransportMode mode, common::TimerFactory* timers = nullptr,
             const common::Clock& clock = common::SteadyClock::instance()) {
    transport = VideoUDPTransport::create(main.context(), clock, timers);
    transport->setTransportMode(mode);
    transport->setAllowPeer([](const std::string&) { return true; });
    TransportCallbacks callbacks;
    callbacks.onClientChange = [this](const std::optional<std::string>& client) {
      std::lock_guard lock(mutex);
      clientChanges.push_back(client);
    };
    ASSERT_TRUE(transport->start(port, streamer, stats, gate, callbacks));
  }

  /// Sends a hello from `peer` and waits for its acknowledgement, which answers with the hello's
  /// sequence number and one zero byte.
  bool join(RawPeer& peer, uint32_t sequence = 1) {
    peer.send(buildSingleDatagram(PacketType::hello, sequence, encodeStreamConfigMessage({}, 4)));
    auto ack = peer.receiveType(PacketType::helloAck);
    return ack && parseDatagram(*ack)->header.sequence == sequence &&
           Bytes(ack->begin() + kDatagramHeaderSize, ack->end()) == Bytes{0};
  }

  std::vector<std::optional<std::string>> changes() {
    std::lock_guard lock(mutex);
    return clientChanges;
  }

  MainThread main;
  std::shared_ptr<ScriptedStreamer> streamer = std::make_shared<ScriptedStreamer>();
  std::shared_ptr<VideoStreamStats> stats = std::make_shared<VideoStreamStats>();
  std::shared_ptr<VideoDiagnosticsGate> gate = std::make_shared<VideoDiagnosticsGate>();
  std::shared_ptr<VideoUDPTransport> transport;
  uint16_t port = 0;
  std::mutex mutex;
  std::vector<std::optional<std::string>> clientChanges;
};

TEST_F(UdpTransportTest, NumbersFromOneCounterAndANewPortTakesOverOnlyWithAHelloOrAProbe) {
  start(VideoTransportMode::udpArq);
  RawPeer peer(port);
  ASSERT_TRUE(join(peer));
  transport->sendAudioConfig(Bytes(1180, 1));         // 1200 bytes framed: one fragment
  transport->sendEncoded(Bytes(3000, 2), true, 4242);  // three fragments
  transport->sendAudio(Bytes(1181, 3), 99);           // 1201 bytes: two fragments
  std::vector<VGVideoDatagramHeader> headers;
  std::vector<size_t> sizes;
  while (headers.size() < 7) {
    auto d = peer.receive(2.0);
    ASSERT_TRUE(d);
    auto parsed = parseDatagram(*d);
    ASSERT_TRUE(parsed);
    headers.push_back(parsed->header);
    sizes.push_back(parsed->payload.size());
  }
  const std::vector<uint32_t> frameIds = {1, 2, 2, 2, 3, 3, 0};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(headers[i].packetType, 3);
    EXPECT_EQ(headers[i].sequence, i + 1);
    EXPECT_EQ(headers[i].frameId, frameIds[i]);
  }
  EXPECT_EQ(headers[0].fragCount, 1);
  EXPECT_EQ(sizes[0], 1200u);
  EXPECT_EQ(headers[1].flags, 1);
  EXPECT_EQ(headers[1].pts, 4242u);
  EXPECT_EQ(headers[2].flags, 0);  // later fragments carry neither flags nor pts
  EXPECT_EQ(headers[2].pts, 0u);
  EXPECT_EQ(headers[3].fragIndex, 2);
  EXPECT_EQ(headers[4].fragCount, 2);
  EXPECT_EQ(sizes[5], 1u);
  EXPECT_EQ(headers[6].packetType, 10);  // the keepalive, a second after the hello
  EXPECT_EQ(headers[6].sequence, 7u);

  RawPeer stray(port), prober(port);
  // Datagrams from a new port of the client's own address that do not start a session (a flood
  // can send them with any source port) leave the stream where it is.
  const uint32_t sequences[] = {1, 2};
  for (const Bytes& datagram :
       {Bytes{1, 2, 3}, buildSingleDatagram(PacketType::echoRequest, 2, Bytes(8, 1)),
        buildSingleDatagram(PacketType::retransmitRequest, 3, encodeRetransmitRequest(sequences)),
        buildSingleDatagram(PacketType::keepalive, 4, {})})
    stray.send(datagram);
  EXPECT_FALSE(stray.receive(0.3));
  transport->sendAudioConfig({1});
  EXPECT_TRUE(peer.receiveType(PacketType::fragment));

  // A probe request is a client starting again before its hello: it takes over. An echo request
  // is answered with its sequence number and its first eight bytes.
  prober.send(buildSingleDatagram(PacketType::probeRequest, 5, {}));
  prober.send(buildSingleDatagram(PacketType::echoRequest, 6, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  auto reply = prober.receiveType(PacketType::echoReply);
  ASSERT_TRUE(reply);
  EXPECT_EQ(parseDatagram(*reply)->header.sequence, 6u);
  EXPECT_EQ(Bytes(reply->begin() + kDatagramHeaderSize, reply->end()),
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  peer.send(buildSingleDatagram(PacketType::echoRequest, 7, Bytes(8, 1)));
  EXPECT_FALSE(peer.receiveType(PacketType::echoReply, 0.3));
  main.sync();
  EXPECT_EQ(changes().size(), 3u);  // the client's flow, its hello, the prober
}

TEST_F(UdpTransportTest, RetransmitsOnlyInArqAndANewClientWaitsForItsFirstKeyframe) {
  start(VideoTransportMode::udpArq);
  RawPeer peer(port);
  ASSERT_TRUE(join(peer));
  transport->sendEncoded(Bytes(2500, 7), false, 5);
  std::vector<Bytes> first;
  for (int i = 0; i < 3; ++i) first.push_back(*peer.receiveType(PacketType::fragment));
  const std::vector<uint32_t> wanted = {2, 2, 99, 1};
  peer.send(buildSingleDatagram(PacketType::retransmitRequest, 5, encodeRetransmitRequest(wanted)));
  EXPECT_EQ(*peer.receiveType(PacketType::fragment), first[1]);
  EXPECT_EQ(*peer.receiveType(PacketType::fragment), first[1]);
  EXPECT_EQ(*peer.receiveType(PacketType::fragment), first[0]);
  EXPECT_TRUE(waitUntil(5, [&] { return stats->retransmittedInWindow() == 3; }));

  Bytes truncated = encodeRetransmitRequest(std::vector<uint32_t>{1, 2, 3});
  truncated.resize(10);  // claims 3, carries 2
  peer.send(buildSingleDatagram(PacketType::retransmitRequest, 6, truncated));
  EXPECT_FALSE(peer.receiveType(PacketType::fragment, 0.3));

  transport->setTransportMode(VideoTransportMode::udpFec);
  peer.send(buildSingleDatagram(PacketType::retransmitRequest, 7, encodeRetransmitRequest(wanted)));
  EXPECT_FALSE(peer.receiveType(PacketType::fragment, 0.3));

  // A new client gets nothing of the run before until its first keyframe.
  transport->setTransportMode(VideoTransportMode::udpArq);
  RawPeer second(port);
  transport->sendParameterSets({{0x40, 1}}, 64, 64);
  transport->sendEncoded(Bytes(100, 1), true, 1);
  ASSERT_TRUE(peer.receiveType(PacketType::fragment));
  ASSERT_TRUE(peer.receiveType(PacketType::fragment));

  ASSERT_TRUE(join(second, 2));
  // The old run is still encoding: its frames and sound are not for the new client.
  transport->sendEncoded(Bytes(100, 2), false, 2);
  transport->sendAudio(Bytes(10, 3), 3);
  EXPECT_FALSE(second.receiveType(PacketType::fragment, 0.3));
  // The new run starts with its parameter sets and audio configuration.
  transport->sendParameterSets({{0x40, 2}}, 64, 64);
  transport->sendEncoded(Bytes(100, 4), true, 4);
  transport->sendAudioConfig(Bytes(19, 5));
  transport->sendAudio(Bytes(10, 6), 6);
  std::vector<MessageKind> kinds;
  while (auto datagram = second.receiveType(PacketType::fragment, 0.5)) {
    kinds.push_back(static_cast<MessageKind>(
        parseMessageHeader(parseDatagram(*datagram)->payload)->kind));
  }
  EXPECT_EQ(kinds, (std::vector<MessageKind>{MessageKind::parameterSets, MessageKind::videoFrame,
                                             MessageKind::audioConfig, MessageKind::audioPacket}));
}

TEST_F(UdpTransportTest, SilentClientIsDisconnectedAfterTenSeconds) {
  common::ManualClock clock;
  start(VideoTransportMode::udpArq, &clock, clock);
  std::vector<std::string> forgotten;
  transport->setOnPeerDisconnected([&](const std::string& address) { forgotten.push_back(address); });
  ferrowin::testing::LogCapture log;
  RawPeer peer(port);
  ASSERT_TRUE(join(peer));
  transport->queue().sync([&] { clock.advance(10.0); });
  EXPECT_TRUE(forgotten.empty());
  transport->queue().sync([&] { clock.advance(1.0); });
  EXPECT_EQ(forgotten, std::vector<std::string>{"127.0.0.1"});
  EXPECT_TRUE(log.contains("Video client silent for 10s; stopping capture"));
  main.sync();
  ASSERT_FALSE(changes().empty());
  EXPECT_EQ(changes().back(), std::nullopt);
  EXPECT_GE(streamer->stops(), 1);
}

// With loss, the client's receiver gets every message in order: by retransmission in UDP/ARQ and
// by parity in UDP/FEC (every block here loses exactly two datagrams).
class UdpRecoveryTest : public UdpTransportTest,
                        public ::testing::WithParamInterface<VideoTransportMode> {};

TEST_P(UdpRecoveryTest, DeliversEveryMessageInOrderDespiteLoss) {
  const VideoTransportMode mode = GetParam();
  start(mode);
  client::VideoClientOptions options{.port = port};
  auto dropped = std::make_shared<std::set<uint32_t>>();
  options.dropFilter = [mode, dropped](const VGVideoDatagramHeader& h) {
    if (h.packetType != 3 && h.packetType != 5) return false;
    if (mode == VideoTransportMode::udpFec) {
      return h.fecShardIndex == 3 || h.fecShardIndex == 10;  // two of twelve per block
    }
    // Every 7th fragment, first copy only.
    return h.packetType == 3 && h.sequence % 7 == 0 && dropped->insert(h.sequence).second;
  };
  client::UdpVideoClient client(options);
  ASSERT_TRUE(client.start());
  ASSERT_TRUE(streamer->waitForStarts(1));
  ASSERT_TRUE(waitUntil(5, [&] { return client.acknowledged(); }));

  // 40 messages of five fragments each: 200 fragments, 20 whole FEC blocks.
  const size_t count = 40;
  transport->sendParameterSets({{0x40, 1}, {0x42, 1}, {0x44, 1}}, 1280, 720);  // one fragment
  for (size_t i = 0; i < count - 2; ++i) {
    transport->sendEncoded(Bytes(5 * 1200 - 20, static_cast<uint8_t>(i)), i % 10 == 0, 1000 + i);
  }
  transport->sendAudio(Bytes(9 * 1200 - 20, 0xAA), 7);  // nine fragments: 200 in all
  ASSERT_TRUE(client.messages().waitForTotal(count, 10)) << client.messages().total();
  auto messages = client.messages().take();
  ASSERT_EQ(messages.size(), count);
  EXPECT_EQ(messages[0].kind, MessageKind::parameterSets);
  EXPECT_EQ(parseParameterSetsPayload(messages[0].payload)->width, 1280);
  for (size_t i = 1; i + 1 < count; ++i) {
    EXPECT_EQ(messages[i].kind, MessageKind::videoFrame);
    EXPECT_EQ(messages[i].pts, 1000 + i - 1);
    EXPECT_EQ(messages[i].payload, Bytes(5 * 1200 - 20, static_cast<uint8_t>(i - 1)));
  }
  EXPECT_EQ(messages.back().kind, MessageKind::audioPacket);
  const auto counters = client.counters();
  EXPECT_EQ(counters.lostMessages, 0u);
  if (mode == VideoTransportMode::udpFec) {
    EXPECT_GE(counters.recoveredByFec, 19u);
  } else {
    EXPECT_GE(counters.retransmitted, 20u);
    EXPECT_EQ(counters.recoveredByFec, 0u);
  }
  EXPECT_EQ(client.unexpectedDatagrams(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, UdpRecoveryTest,
                         ::testing::Values(VideoTransportMode::udpArq, VideoTransportMode::udpFec));

TEST_F(UdpTransportTest, RefusesMessagesTooLargeForSixteenBitCountsAndPacesAProbe) {
  start(VideoTransportMode::udpArq);
  ferrowin::testing::LogCapture log;
  RawPeer peer(port);
  ASSERT_TRUE(join(peer));
  transport->sendEncoded(Bytes(kMaxFragmentedMessageSize - kMessageHeaderSize + 1, 0), true, 1);
  transport->sendAudioConfig({1});
  auto next = peer.receiveType(PacketType::fragment);
  ASSERT_TRUE(next);
  EXPECT_EQ(parseDatagram(*next)->header.frameId, 1u);  // the refused one took no frame id
  EXPECT_TRUE(log.waitFor(
      "Refusing to send a stream message of 78642001 bytes: it needs more than 65535 fragments", 1));

  // A client's probe gets five steps, each paced evenly over 1.2 s.
  client::UdpVideoClient client({.port = port});
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
