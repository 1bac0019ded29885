#include "server/video/video_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;

// The input session's side of the server, here only counting the sessions asked for (that they
// reach the real helper runs end to end in the integration tests).
class CountingHelper final : public InputSessionTarget {
 public:
  asio::awaitable<void> ensureSession(common::DeviceProfile, bool, bool) override {
    ++ensures;
    co_return;
  }
  asio::awaitable<void> endSession() override { co_return; }
  void setClientSteamSupport(bool) override {}
  void pushSteamSupport(bool) override {}
  void pushGeometry(const std::optional<common::CapturePointerGeometry>&) override {}
  void pushStoredLookSettings() override {}
  std::atomic<int> ensures = 0;
};

class VideoServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    { std::ofstream(dir / "latency") << ""; }
    server = VideoServer::create({main.context(), timers, common::SteadyClock::instance(),
                                  streamer, (dir / "latency").string()});
    port = freePort();
    main.sync([&] {
      server->setPort(port);
      server->setAllowPeer({[this](const std::string& a) { return authenticated.contains(a); },
                            [this](const std::string& a) { forgotten.push_back(a); }},
                           true);
      server->setInputHelper(helper);
    });
  }
  void TearDown() override {
    main.sync([&] { server->stop(); });
    main.sync();
  }

  std::string status() { return server->statusMessage.get(); }

  /// Connects a raw peer and sends a hello with `config`; waits for the streamer to start.
  RawPeer& connect(const capture::StreamConfig& config) {
    peers.push_back(std::make_unique<RawPeer>(port));
    const size_t before = streamer->starts().size();
    peers.back()->send(buildSingleDatagram(PacketType::hello, 1, encodeStreamConfigMessage(config)));
    EXPECT_TRUE(streamer->waitForStarts(before + 1));
    main.sync();
    return *peers.back();
  }

  ferrowin::testing::TempDir dir;
  MainThread main;
  common::AsioTimerFactory timers{main.context().get_executor()};
  std::shared_ptr<ScriptedStreamer> streamer = std::make_shared<ScriptedStreamer>();
  std::shared_ptr<CountingHelper> helper = std::make_shared<CountingHelper>();
  std::shared_ptr<VideoServer> server;
  uint16_t port = 0;
  std::set<std::string> authenticated = {"127.0.0.1"};
  std::vector<std::string> forgotten;
  std::vector<std::unique_ptr<RawPeer>> peers;
};

TEST_F(VideoServerTest, StatusTextsOfListeningStreamingModeChangesAndAFailedStart) {
  ferrowin::testing::LogCapture log;
  main.sync([&] { server->start(); });
  EXPECT_TRUE(waitUntil(5, [&] { return status() == "Listening (UDP/ARQ)"; }));
  connect({.width = 1920,
           .height = 1080,
           .bitrateKbps = 20000,
           .audioEnabled = true,
           .audioBitrateKbps = 96});
  const std::string audio = " + audio (Opus 96 kbps)";
  EXPECT_TRUE(waitUntil(
      5, [&] { return status() == "Streaming up to 1920x1080 @60 / 20000 kbps" + audio; }));
  EXPECT_TRUE(server->holdsLatencyRequest());
  EXPECT_TRUE(log.waitFor("Leaving input helper running (client config has no gamepad or remap)", 2));
  EXPECT_EQ(helper->ensures, 0);

  main.sync([&] { streamer->callbacks().onCaptureDimensionsChanged(1280, 720); });
  EXPECT_EQ(status(), "Streaming 1280x720 (max 1920x1080) @60 / 20000 kbps" + audio);
  main.sync([&] { streamer->callbacks().onCaptureDimensionsChanged(1920, 1080); });
  EXPECT_EQ(status(), "Streaming 1920x1080 @60 / 20000 kbps" + audio);

  // A capture error wins over transport status texts until something clears it.
  main.sync([&] { streamer->callbacks().onError("Screen capture failed"); });
  EXPECT_EQ(server->captureError.get(), "Screen capture failed");
  EXPECT_EQ(status(), "Screen capture failed");

  main.sync([&] { server->stop(); });
  EXPECT_EQ(status(), "Idle");
  EXPECT_FALSE(server->holdsLatencyRequest());
  EXPECT_EQ(forgotten, std::vector<std::string>{"127.0.0.1"});
  EXPECT_TRUE(log.contains("Forgetting paired client 127.0.0.1 after video disconnect"));

  // Mode changes restart only while running; a failed start names the transport.
  main.sync([&] { server->setTransportMode(VideoTransportMode::tcp); });
  EXPECT_EQ(status(), "Idle");
  main.sync([&] { server->start(); });
  EXPECT_TRUE(waitUntil(5, [&] { return status() == "Listening (TCP)"; }));
  main.sync([&] { streamer->callbacks().onError("boom"); });  // without a client: nothing
  EXPECT_EQ(server->captureError.get(), std::nullopt);
  main.sync([&] { server->setTransportMode(VideoTransportMode::udpFec); });
  EXPECT_TRUE(waitUntil(5, [&] { return status() == "Listening (UDP/FEC)"; }));
  main.sync([&] {
    server->stop();
    server->setPort(0);
    server->start();
  });
  EXPECT_EQ(status(), "Failed to start UDP/FEC transport");
  EXPECT_FALSE(server->isRunning.get());
}

TEST_F(VideoServerTest, UnpairedAddressIsRefused) {
  authenticated.clear();
  main.sync([&] { server->start(); });
  RawPeer peer(port);
  peer.send(buildSingleDatagram(PacketType::hello, 1, encodeStreamConfigMessage({})));
  EXPECT_FALSE(peer.receive(0.3));
  EXPECT_TRUE(streamer->starts().empty());
}

TEST(StreamingLatencyMode, HoldsOneRequestAndLogsAFailureOnce) {
  ferrowin::testing::TempDir dir;
  { std::ofstream(dir / "qos") << ""; }
  StreamingLatencyMode mode((dir / "qos").string());
  mode.end();  // nothing held: nothing happens
  EXPECT_TRUE(mode.begin());
  EXPECT_TRUE(mode.begin());
  mode.end();
  EXPECT_FALSE(mode.isHeld());
  std::ifstream written(dir / "qos", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(written)), {});
  EXPECT_EQ(bytes, std::string(4, '\0'));  // one request, 0 µs

  ferrowin::testing::LogCapture log;
  StreamingLatencyMode missing((dir / "absent").string());
  EXPECT_FALSE(missing.begin());
  EXPECT_FALSE(missing.begin());
  EXPECT_EQ(log.messages().size(), 1u);
}

}  // namespace
}  // namespace ferrowin::video
