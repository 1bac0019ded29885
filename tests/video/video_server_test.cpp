#include "server/video/video_server.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;

class RecordingHelper final : public InputSessionTarget {
 public:
  asio::awaitable<void> ensureSession(common::DeviceProfile profile, bool gamepadHID,
                                      bool mouseHID) override {
    record(fmt::format("ensure {} {} {}", common::deviceProfileText(profile), gamepadHID, mouseHID));
    co_return;
  }
  asio::awaitable<void> endSession() override {
    record("end");
    co_return;
  }
  void setClientSteamSupport(bool enabled) override { record(fmt::format("steam {}", enabled)); }
  void pushSteamSupport(bool force) override { record(fmt::format("push steam {}", force)); }
  void pushGeometry(const std::optional<common::CapturePointerGeometry>& g) override {
    record(g ? "geometry" : "no geometry");
  }
  void pushStoredLookSettings() override { record("look"); }

  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
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
  std::shared_ptr<RecordingHelper> helper = std::make_shared<RecordingHelper>();
  std::shared_ptr<VideoServer> server;
  uint16_t port = 0;
  std::set<std::string> authenticated = {"127.0.0.1"};
  std::vector<std::string> forgotten;
  std::vector<std::unique_ptr<RawPeer>> peers;
};

TEST_F(VideoServerTest, StartsListeningAndStreamsWithStatusTexts) {
  ferrowin::testing::LogCapture log;
  main.sync([&] { server->start(); });
  EXPECT_TRUE(eventually([&] { return status() == "Listening (UDP/ARQ)"; }));
  capture::StreamConfig config;
  config.width = 1920;
  config.height = 1080;
  config.bitrateKbps = 20000;
  connect(config);
  EXPECT_TRUE(eventually([&] { return status() == "Streaming up to 1920x1080 @60 / 20000 kbps"; }));
  EXPECT_TRUE(server->holdsLatencyRequest());
  EXPECT_TRUE(log.waitFor("Leaving input helper running (client config has no gamepad or remap)", 2));
  for (const auto& call : helper->calls()) EXPECT_FALSE(call.starts_with("ensure"));

  main.sync([&] { streamer->callbacks().onCaptureDimensionsChanged(1280, 720); });
  EXPECT_EQ(status(), "Streaming 1280x720 (max 1920x1080) @60 / 20000 kbps");
  main.sync([&] { streamer->callbacks().onCaptureDimensionsChanged(1920, 1080); });
  EXPECT_EQ(status(), "Streaming 1920x1080 @60 / 20000 kbps");

  // A capture error wins over transport status texts until something clears it.
  main.sync([&] { streamer->callbacks().onError("Screen capture failed"); });
  EXPECT_EQ(server->captureError.get(), "Screen capture failed");
  EXPECT_EQ(status(), "Screen capture failed");

  main.sync([&] { server->stop(); });
  EXPECT_EQ(status(), "Idle");
  EXPECT_FALSE(server->holdsLatencyRequest());
  EXPECT_EQ(forgotten, std::vector<std::string>{"127.0.0.1"});
  EXPECT_TRUE(log.contains("Forgetting paired client 127.0.0.1 after video disconnect"));
}

TEST_F(VideoServerTest, AudioConfigShowsInTheStatus) {
  main.sync([&] { server->start(); });
  capture::StreamConfig config;
  config.audioEnabled = true;
  config.audioBitrateKbps = 96;
  connect(config);
  main.sync([&] { streamer->callbacks().onCaptureDimensionsChanged(1280, 720); });
  EXPECT_EQ(status(), "Streaming 1280x720 @60 / 12000 kbps + audio (Opus 96 kbps)");
}

TEST_F(VideoServerTest, ErrorWithoutClientChangesNothing) {
  main.sync([&] { server->start(); });
  main.sync([&] { streamer->callbacks().onError("boom"); });
  EXPECT_EQ(server->captureError.get(), std::nullopt);
  EXPECT_NE(status(), "boom");
}

TEST_F(VideoServerTest, ModeChangeRestartsOnlyWhileRunning) {
  main.sync([&] { server->setTransportMode(VideoTransportMode::tcp); });
  EXPECT_EQ(status(), "Idle");
  main.sync([&] { server->start(); });
  EXPECT_TRUE(eventually([&] { return status() == "Listening (TCP)"; }));
  main.sync([&] { server->setTransportMode(VideoTransportMode::udpFec); });
  EXPECT_TRUE(eventually([&] { return status() == "Listening (UDP/FEC)"; }));
}

TEST_F(VideoServerTest, FailedStartNamesTheTransport) {
  main.sync([&] {
    server->setPort(0);
    server->start();
  });
  EXPECT_EQ(status(), "Failed to start UDP/ARQ transport");
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

TEST_F(VideoServerTest, AppliesTheInputSessionThroughTheHelper) {
  ferrowin::testing::LogCapture log;
  main.sync([&] { server->start(); });
  capture::StreamConfig config;
  config.gamepadEnabled = true;
  config.gamepadProfile = common::DeviceProfile::generic;
  config.steamSupport = false;
  connect(config);
  EXPECT_TRUE(log.waitFor(
      "Applying input session: gamepadHID=true remapMouse=false profile generic steamSupport=false",
      2));
  EXPECT_TRUE(eventually([&] { return helper->calls().size() >= 7; }));
  auto calls = helper->calls();
  calls.erase(calls.begin(), std::find(calls.begin(), calls.end(), "ensure generic true false"));
  EXPECT_EQ(calls,
            (std::vector<std::string>{"ensure generic true false", "steam false", "push steam true",
                                      "no geometry", "steam false", "push steam true",
                                      "no geometry"}));
  main.sync([&] { server->stop(); });
  EXPECT_TRUE(eventually([&] {
    auto after = helper->calls();
    auto ensure = std::find(after.begin(), after.end(), "ensure generic true false");
    return std::find(ensure, after.end(), "end") != after.end();
  }));
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
