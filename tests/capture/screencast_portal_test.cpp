// The ScreenCast portal conversation against a scripted portal on a private session bus (the
// desktop's own portal needs a Wayland compositor), granting a real node of a private PipeWire
// daemon: the grant, the restore token that spares the second ask, a refusal, no portal at all.

#include "platform/linux/screencast_portal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/capture/stream_recorder.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::platform {
namespace {

using testing::PipeWireServer;

class ScreenCastPortalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = PipeWireServer::missing();
    if (skip_.empty() &&
        testing::runCommand("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null && echo yes") != "yes\n") {
      skip_ = "python3-dbus or python3-gi is not installed (scripts/bootstrap)";
    }
    if (!skip_.empty()) return;
    server_ = new PipeWireServer();
    if (!server_->start()) {
      skip_ = "the private PipeWire daemon did not start: " + server_->log();
      return;
    }
    node_ = server_->publishTestPattern("ferrowin-test-portal", 320, 240, "solid-color", 0xFF30A050)
                .release();
  }
  static void TearDownTestSuite() {
    delete node_;
    node_ = nullptr;
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(node_);
  }
  void TearDown() override { stopPortal(); }

  void startPortal(bool deny = false) {
    std::vector<std::string> args = {
        "/usr/bin/python3", std::string(FERROWIN_SOURCE_DIR) + "/tests/support/fake_screencast_portal.py",
        "--node-id", std::to_string(server_->nodeId("ferrowin-test-portal")),
        "--pipewire-socket", server_->socketPath(), "--state", (dir_ / "state.json").string(),
        "--log", (dir_ / "portal.log").string()};
    if (deny) args.push_back("--deny");
    portal_ = testing::spawnLogged(args, {"DBUS_SESSION_BUS_ADDRESS=" + server_->busAddress()},
                                   (dir_ / "portal.out").string());
    ASSERT_GT(portal_, 0);
    for (int i = 0; i < 100; ++i) {
      if (testing::runCommand("dbus-send --bus=" + server_->busAddress() +
                              " --print-reply --dest=org.freedesktop.DBus / "
                              "org.freedesktop.DBus.NameHasOwner "
                              "string:org.freedesktop.portal.Desktop 2>/dev/null")
              .find("true") != std::string::npos) {
        return;
      }
      usleep(50'000);
    }
    FAIL() << "the scripted portal did not come up";
  }
  void stopPortal() { testing::endChild(portal_); }

  // The portal's record of the conversation so far, one JSON line a step.
  std::string portalLog() {
    std::ifstream in(dir_ / "portal.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ScreenCastRequest request(std::optional<std::string> token = std::nullopt) {
    return ScreenCastRequest{server_->busAddress(), std::move(token), std::chrono::seconds(10)};
  }

  static PipeWireServer* server_;
  static PipeWireServer::GstNode* node_;
  static std::string skip_;
  testing::TempDir dir_;
  pid_t portal_ = -1;
};

PipeWireServer* ScreenCastPortalTest::server_ = nullptr;
PipeWireServer::GstNode* ScreenCastPortalTest::node_ = nullptr;
std::string ScreenCastPortalTest::skip_;

// The first conversation asks and hands out a token; the next one, with that token, is restored
// without asking and lists the same display. The granted node streams through the portal's
// PipeWire connection.
TEST_F(ScreenCastPortalTest, GrantIsAskedOnceThenRestoredWithItsToken) {
  startPortal();
  auto grant = requestScreenCast(request());
  ASSERT_TRUE(grant) << grant.error().description();
  EXPECT_EQ(grant->restoreToken, "token-1");
  ASSERT_EQ(grant->sources.size(), 1u);
  EXPECT_EQ(grant->sources[0].displayId, 1u);
  EXPECT_EQ(grant->sources[0].nodeId, uint32_t(server_->nodeId("ferrowin-test-portal")));
  EXPECT_EQ(grant->sources[0].frame, (CaptureRect{0, 0, 320, 240}));
  const std::string first = portalLog();
  EXPECT_NE(first.find(R"("step": "SelectSources", "types": 1, "multiple": false, "cursor_mode": 4, "persist_mode": 2})"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find(R"("asked": true)"), std::string::npos);

  auto backend = makePipeWireCaptureBackend(grant->sources, grant->remote);
  ASSERT_TRUE(backend) << backend.error().description();
  StreamRecorder recorder;
  CaptureStreamConfiguration configuration;
  configuration.width = 320;
  configuration.height = 240;
  auto stream = (*backend)->createStream(
      CaptureFilter{CaptureFilter::Kind::display, 1, CaptureRect{0, 0, 320, 240}, 1.0}, configuration,
      recorder.delegate());
  ASSERT_TRUE(stream && (*stream)->start());
  auto frame = recorder.nextFrame();
  ASSERT_TRUE(frame);
  expectColour(frame->image, 160, 120, 0x30A050);
  (*stream)->stop();
  backend->reset();
  grant = {};

  // A restart of the host: a new conversation with the saved token.
  stopPortal();
  startPortal(/*deny=*/true);  // asking again would now be refused
  auto restored = requestScreenCast(request("token-1"));
  ASSERT_TRUE(restored) << restored.error().description();
  EXPECT_EQ(restored->restoreToken, "token-2");
  ASSERT_EQ(restored->sources.size(), 1u);
  EXPECT_EQ(restored->sources[0].displayId, 1u);
  EXPECT_NE(portalLog().find(R"("restore_token": "token-1")"), std::string::npos);
  EXPECT_NE(portalLog().find(R"("asked": false)"), std::string::npos);
}

TEST_F(ScreenCastPortalTest, RefusalAndMissingPortalAreTheirOwnErrors) {
  startPortal(/*deny=*/true);
  auto refused = requestScreenCast(request("a token it never issued"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ScreenCastError::Code::denied);
  EXPECT_EQ(refused.error().description(),
            "screen capture was not allowed: Start was cancelled");
  stopPortal();

  auto missing = requestScreenCast(request());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ScreenCastError::Code::unavailable) << missing.error().description();
  auto noBus = requestScreenCast(ScreenCastRequest{"unix:path=" + (dir_ / "nobus").string(), {},
                                                   std::chrono::seconds(2)});
  ASSERT_FALSE(noBus);
  EXPECT_EQ(noBus.error().code, ScreenCastError::Code::unavailable);
}

}  // namespace
}  // namespace ferrowin::platform
