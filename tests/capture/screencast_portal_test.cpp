// The ScreenCast portal conversation against a scripted portal on a private session bus (the
// desktop's own portal needs a Wayland compositor), granting a real node of a private PipeWire
// daemon: the grant, the restore token that spares the second ask, a refusal, no portal at all.

#include "platform/linux/screencast_portal.h"

#include <gtest/gtest.h>

#include "tests/capture/stream_recorder.h"
#include "tests/support/fake_screencast_portal.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::platform {
namespace {

using testing::FakeScreenCastPortal;
using testing::PipeWireServer;

class ScreenCastPortalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = PipeWireServer::missing();
    if (skip_.empty()) skip_ = FakeScreenCastPortal::missing();
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
    portal_ = std::make_unique<FakeScreenCastPortal>(*server_, "ferrowin-test-portal", 320, 240);
  }

  ScreenCastRequest request(std::optional<std::string> token = std::nullopt) {
    return ScreenCastRequest{server_->busAddress(), std::move(token), std::chrono::seconds(10)};
  }

  static PipeWireServer* server_;
  static PipeWireServer::GstNode* node_;
  static std::string skip_;
  std::unique_ptr<FakeScreenCastPortal> portal_;
  testing::TempDir dir_;
};

PipeWireServer* ScreenCastPortalTest::server_ = nullptr;
PipeWireServer::GstNode* ScreenCastPortalTest::node_ = nullptr;
std::string ScreenCastPortalTest::skip_;

// The first conversation asks and hands out a token; the next one, with that token, is restored
// without asking and lists the same display. The granted node streams through the portal's
// PipeWire connection.
TEST_F(ScreenCastPortalTest, GrantIsAskedOnceRestoredWithItsTokenThenRefusedThenMissing) {
  ASSERT_TRUE(portal_->start());
  auto grant = requestScreenCast(request());
  ASSERT_TRUE(grant) << grant.error().description();
  EXPECT_EQ(grant->restoreToken, "token-1");
  ASSERT_EQ(grant->sources.size(), 1u);
  EXPECT_EQ(grant->sources[0].displayId, 1u);
  EXPECT_EQ(grant->sources[0].nodeId, uint32_t(server_->nodeId("ferrowin-test-portal")));
  EXPECT_EQ(grant->sources[0].frame, (CaptureRect{0, 0, 320, 240}));
  const std::string first = portal_->log();
  EXPECT_NE(first.find(R"("step": "SelectSources", "types": 1, "multiple": false, "cursor_mode": 4, "persist_mode": 2})"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find(R"("asked": true)"), std::string::npos);

  auto backend = makePipeWireCaptureBackend(grant->sources, grant->remote);
  ASSERT_TRUE(backend) << backend.error().description();
  StreamRecorder recorder;
  auto stream = (*backend)->createStream(
      CaptureFilter{CaptureFilter::Kind::display, 1, CaptureRect{0, 0, 320, 240}, 1.0},
      {.width = 320, .height = 240}, recorder.delegate());
  ASSERT_TRUE(stream && (*stream)->start());
  auto frame = recorder.nextFrame();
  ASSERT_TRUE(frame);
  expectColour(frame->image, 160, 120, 0x30A050);
  (*stream)->stop();
  backend->reset();
  grant = {};

  // A restart of the host: a new conversation with the saved token.
  ASSERT_TRUE(portal_->start(/*deny=*/true));  // asking again would now be refused
  auto restored = requestScreenCast(request("token-1"));
  ASSERT_TRUE(restored) << restored.error().description();
  EXPECT_EQ(restored->restoreToken, "token-2");
  ASSERT_EQ(restored->sources.size(), 1u);
  EXPECT_EQ(restored->sources[0].displayId, 1u);
  EXPECT_NE(portal_->log().find(R"("restore_token": "token-1")"), std::string::npos);
  EXPECT_NE(portal_->log().find(R"("asked": false)"), std::string::npos);

  // A refusal and a missing portal are errors of their own.
  auto refused = requestScreenCast(request("a token it never issued"));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, ScreenCastError::Code::denied);
  EXPECT_EQ(refused.error().description(),
            "screen capture was not allowed: Start was cancelled");
  portal_->stop();

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
