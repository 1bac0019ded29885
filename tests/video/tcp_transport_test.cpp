#include <gtest/gtest.h>

#include <asio/read.hpp>
#include <asio/write.hpp>

#include "server/video/tcp_transport.h"
#include "tests/support/log_capture.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;
using asio::ip::tcp;

class TcpTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { port = freePort(); }
  void TearDown() override {
    if (transport) transport->stop();
    main.sync();
  }

  void start(common::TimerFactory* timers = nullptr,
             const common::Clock& clock = common::SteadyClock::instance()) {
    transport = VideoTCPTransport::create(main.context(), clock, timers);
    transport->setAllowPeer([](const std::string& address) { return address == "127.0.0.1"; });
    TransportCallbacks callbacks;
    callbacks.onStatus = [this](const std::string& text) {
      std::lock_guard lock(mutex);
      statuses.push_back(text);
    };
    callbacks.onClientChange = [this](const std::optional<std::string>& client) {
      std::lock_guard lock(mutex);
      clientChanges.push_back(client);
    };
    ASSERT_TRUE(transport->start(port, streamer, stats, gate, callbacks));
  }

  tcp::socket connect() {
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    return socket;
  }

  /// A client that sent a version-4 configuration; capture has started for it.
  tcp::socket streamingClient() {
    auto socket = connect();
    const size_t before = streamer->starts().size();
    asio::write(socket, asio::buffer(encodeStreamConfigMessage({}, 4)));
    EXPECT_TRUE(streamer->waitForStarts(before + 1));
    return socket;
  }

  /// Reads until the host closes the connection.
  static std::error_code readToEnd(tcp::socket& socket) {
    Bytes rest(1 << 16);
    std::error_code error;
    while (!error) socket.read_some(asio::buffer(rest), error);
    return error;
  }

  /// Reads one framed message (header fields and payload).
  std::pair<VideoMessageHeader, Bytes> readMessage(tcp::socket& socket) {
    Bytes header(kMessageHeaderSize);
    asio::read(socket, asio::buffer(header));
    auto parsed = parseMessageHeader(header);
    EXPECT_TRUE(parsed);
    Bytes payload(parsed->length);
    asio::read(socket, asio::buffer(payload));
    return {*parsed, payload};
  }

  std::vector<std::string> statusTexts() {
    std::lock_guard lock(mutex);
    return statuses;
  }

  MainThread main;
  asio::io_context io;
  std::shared_ptr<ScriptedStreamer> streamer = std::make_shared<ScriptedStreamer>();
  std::shared_ptr<VideoStreamStats> stats = std::make_shared<VideoStreamStats>();
  std::shared_ptr<VideoDiagnosticsGate> gate = std::make_shared<VideoDiagnosticsGate>();
  std::shared_ptr<VideoTCPTransport> transport;
  uint16_t port = 0;
  std::mutex mutex;
  std::vector<std::string> statuses;
  std::vector<std::optional<std::string>> clientChanges;
};

TEST_F(TcpTransportTest, ReadsTheConfigurationByVersionThenFramesUntilOneIsOversized) {
  common::ManualClock clock;
  start(&clock, clock);
  auto socket = connect();
  const capture::StreamConfig wanted{.fps = 120, .gamepadEnabled = true};
  Bytes bytes = encodeStreamConfigMessage(wanted, 3);
  ASSERT_EQ(bytes.size(), 26u);
  const Bytes frame = frameMessage(MessageKind::keepalive, 0, 0, {});
  bytes.insert(bytes.end(), frame.begin(), frame.end());  // right behind the 26 bytes
  asio::write(socket, asio::buffer(bytes));
  ASSERT_TRUE(streamer->waitForStarts(1));
  EXPECT_EQ(streamer->starts()[0], wanted);

  // A 16-byte version-1 message streams with the defaults.
  auto second = connect();
  // Audio is not carried by version 1.
  asio::write(second, asio::buffer(encodeStreamConfigMessage({.audioEnabled = true}, 1)));
  ASSERT_TRUE(streamer->waitForStarts(2));
  EXPECT_EQ(streamer->starts()[1], capture::StreamConfig{});

  // A wrong magic is reported and starts nothing.
  auto third = connect();
  Bytes bad = encodeStreamConfigMessage({}, 4);
  bad[0] = 0;
  asio::write(third, asio::buffer(bad));
  EXPECT_TRUE(waitUntil(5, [&] { return statusTexts().back() == "Bad config"; }));
  EXPECT_EQ(statusTexts()[0], "Starting...");
  EXPECT_EQ(statusTexts()[1], "Listening (TCP)");
  EXPECT_EQ(streamer->starts().size(), 2u);

  // An oversized frame from the client stops reading until the silence watch ends it.
  ferrowin::testing::LogCapture log;
  auto streaming = streamingClient();
  Bytes oversized = frame;
  putU32(oversized.data() + 8, 70000);
  asio::write(streaming, asio::buffer(oversized));
  asio::write(streaming, asio::buffer(Bytes(70000, 0)));
  transport->queue().sync([&] { clock.advance(11.0); });
  EXPECT_TRUE(log.contains("Video client silent for 10s; stopping capture"));
  EXPECT_EQ(readToEnd(streaming), asio::error::eof);  // the host closed the connection
  main.sync();
  std::lock_guard lock(mutex);
  EXPECT_EQ(clientChanges.back(), std::nullopt);
}

TEST_F(TcpTransportTest, SendsMessagesInOrderWithKeepalives) {
  start();
  auto socket = streamingClient();
  // The first message is far bigger than the socket buffers, so its write is still in flight
  // while the others queue up behind it.
  transport->sendParameterSets({{1, 2}}, 640, 480);
  transport->sendAudio(Bytes(32 << 20, 7), 1);
  for (int i = 0; i < 20; ++i) transport->sendEncoded(Bytes(100000, static_cast<uint8_t>(i)), i == 0, i);
  transport->sendAudioConfig({9});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Keepalives run every second from the configuration on; on a slow machine one may come
  // between the messages, which keep their order around it.
  int keepalives = 0;
  auto next = [&] {
    for (;;) {
      auto message = readMessage(socket);
      if (message.first.kind != 5) return message;
      EXPECT_TRUE(message.second.empty());
      ++keepalives;
    }
  };
  auto [h0, p0] = next();
  EXPECT_EQ(h0.kind, 1);
  EXPECT_EQ(parseParameterSetsPayload(p0)->height, 480);
  EXPECT_EQ(next().second.size(), 32u << 20);
  for (int i = 0; i < 20; ++i) {
    auto [h, p] = next();
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.flags, i == 0 ? 1 : 0);
    EXPECT_EQ(h.pts, static_cast<uint64_t>(i));
    EXPECT_EQ(p, Bytes(100000, static_cast<uint8_t>(i)));
  }
  EXPECT_EQ(next().first.kind, 3);
  if (keepalives == 0) {
    auto [keepalive, empty] = readMessage(socket);  // a second after the configuration
    EXPECT_EQ(keepalive.kind, 5);
    EXPECT_TRUE(empty.empty());
  }
  EXPECT_GE(stats->snapshot().maxOutboundDepth, 4);
}

TEST_F(TcpTransportTest, ClientsThatStopReadingAreCutOffPastTheBacklogOrByAStop) {
  start();
  auto socket = streamingClient();  // never reads
  ferrowin::testing::LogCapture log;
  const Bytes chunk(1 << 20, 1);
  for (int i = 0; i < 100; ++i) transport->sendEncoded(chunk, false, i);
  EXPECT_TRUE(waitUntil(5, [&] {
    std::lock_guard lock(mutex);
    return !clientChanges.empty() && clientChanges.back() == std::nullopt;
  }));
  const auto lines = log.messages();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("Video client is not reading: ");
  }));

  // A stop ends a write waiting on the next client, which does not read either.
  auto stuck = streamingClient();
  // Far more than the socket buffers hold and less than the backlog bound: the writer waits.
  transport->sendAudio(Bytes(16 << 20, 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto begin = std::chrono::steady_clock::now();
  transport->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  // What the client can still read ends short of the message: the connection was cut.
  std::error_code error;
  Bytes rest(17 << 20);
  size_t received = asio::read(stuck, asio::buffer(rest), error);
  EXPECT_LT(received, size_t(16 << 20) + kMessageHeaderSize);
  transport.reset();
}

}  // namespace
}  // namespace ferrowin::video
