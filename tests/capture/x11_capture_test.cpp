// The X11 backend against a private Xvfb: monitors, the window list, pixels of a display and of a
// window, the cursor, padding and a closing window. (How often a still or busy screen is read is
// measured in bench/capture_x11.)

#include <gtest/gtest.h>

#include "platform/capture_frames.h"
#include "platform/linux/x11_capture.h"
#include "platform/linux/x11_paint_client.h"
#include "tests/capture/stream_recorder.h"
#include "tests/inputhelper/xvfb_display.h"

namespace ferrowin::platform {
namespace {

using x11::PaintWindow;
using x11::X11PaintClient;

class X11CaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xvfb_ = new testing::XvfbDisplay(); }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }

  void SetUp() override {
    if (xvfb_->name().empty()) GTEST_SKIP() << xvfb_->error();
    auto backend = makeX11CaptureBackend(xvfb_->name());
    ASSERT_TRUE(backend) << backend.error().description();
    backend_ = std::move(*backend);
    painter_ = X11PaintClient::open(xvfb_->name());
    ASSERT_TRUE(painter_);
  }

  CaptureFilter mainDisplayFilter() {
    return CaptureFilter{CaptureFilter::Kind::display, backend_->mainDisplayId(),
                         CaptureRect{0, 0, 1280, 720}, 1.0};
  }

  std::unique_ptr<CaptureStream> startStream(const CaptureFilter& filter,
                                             CaptureStreamConfiguration config,
                                             StreamRecorder& recorder) {
    auto stream = backend_->createStream(filter, config, recorder.delegate());
    EXPECT_TRUE(stream);
    if (!stream) return nullptr;
    EXPECT_TRUE((*stream)->start());
    return std::move(*stream);
  }

  static testing::XvfbDisplay* xvfb_;
  std::unique_ptr<CaptureBackend> backend_;
  std::unique_ptr<X11PaintClient> painter_;
};

testing::XvfbDisplay* X11CaptureTest::xvfb_ = nullptr;

TEST_F(X11CaptureTest, ListsStreamsAndShootsTheMainDisplayAndAWindow) {
  const uint32_t app = painter_->show({100, 50, 300, 200, 0x00FF00, "Level 1", "SomeGame", 4242, ""});
  const uint32_t dock = painter_->show(
      {0, 680, 1280, 40, 0x202020, "panel", "Panel", 0, "_NET_WM_WINDOW_TYPE_DOCK"});
  auto content = backend_->shareableContent(true);
  ASSERT_TRUE(content) << content.error().description();
  ASSERT_EQ(content->displays.size(), 1u);
  const CaptureDisplay& display = content->displays[0];
  EXPECT_TRUE(display.isMain);  // Xvfb marks no monitor primary: the first is main
  EXPECT_EQ(display.frame, (CaptureRect{0, 0, 1280, 720}));
  EXPECT_EQ(backend_->mainDisplayId(), display.id);
  EXPECT_EQ(backend_->displayBounds(display.id + 1), std::nullopt);

  const CaptureWindow* game = nullptr;
  const CaptureWindow* panel = nullptr;
  for (const CaptureWindow& window : content->windows) {
    if (window.id == app) game = &window;
    if (window.id == dock) panel = &window;
  }
  ASSERT_NE(game, nullptr);
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(game->frame, (CaptureRect{100, 50, 300, 200}));
  EXPECT_EQ(game->title, "Level 1");
  EXPECT_EQ(game->applicationName, "SomeGame");
  EXPECT_EQ(game->pid, 4242);
  EXPECT_EQ(game->role, CaptureWindowRole::normal);
  EXPECT_EQ(panel->role, CaptureWindowRole::dock);
  // Front to back: the dock was mapped last.
  EXPECT_LT(panel - content->windows.data(), game - content->windows.data());
  painter_->destroy(app);
  painter_->destroy(dock);

  const uint32_t left = painter_->show({0, 0, 640, 720, 0xFF0000, "left", "Paint", 0, ""});
  const uint32_t right = painter_->show({640, 0, 640, 720, 0x0000FF, "right", "Paint", 0, ""});
  StreamRecorder recorder;
  // 683 rounded up to 16, the picture placed at 683 × 384 on black.
  auto stream = startStream(mainDisplayFilter(),
                            {.width = 688,
                             .height = 384,
                             .destinationRect = CaptureRect{0, 0, 683, 384},
                             .fps = 30,
                             .showsCursor = false},
                            recorder);
  auto frame = recorder.nextFrame();
  ASSERT_TRUE(frame);
  const BgraFrame& image = frame->image;
  ASSERT_EQ(image.width, 688);
  ASSERT_EQ(image.height, 384);
  expectColour(image, 100, 200, 0xFF0000);
  expectColour(image, 600, 200, 0x0000FF);
  for (int x = 683; x < 688; ++x) expectColour(image, x, 200, 0x000000);
  EXPECT_GT(frame->ptsMicros, 0);

  // A live change of what is shown reaches the next frames.
  painter_->fill(left, 0, 0, 640, 720, 0x00FF00);
  std::optional<CapturedFrame> later;
  for (int i = 0; i < 10; ++i) {
    later = recorder.nextFrame();
    ASSERT_TRUE(later);
    if (later->image.at(100, 200)[1] > 200) break;
  }
  expectColour(later->image, 100, 200, 0x00FF00);
  stream->stop();
  painter_->destroy(left);
  painter_->destroy(right);

  // The cursor is drawn in only when asked.
  const uint32_t white = painter_->show({0, 0, 1280, 720, 0xFFFFFF, "white", "Paint", 0, ""});
  auto with = backend_->screenshot(mainDisplayFilter(), 1280, 720, true);
  auto without = backend_->screenshot(mainDisplayFilter(), 1280, 720, false);
  ASSERT_TRUE(with && without);
  // Xvfb starts with the pointer in the middle of the screen.
  int differing = 0;
  for (int y = 340; y < 380; ++y) {
    for (int x = 620; x < 660; ++x) {
      if (with->at(x, y)[0] != without->at(x, y)[0]) ++differing;
    }
  }
  EXPECT_GT(differing, 10);
  expectColour(*without, 640, 360, 0xFFFFFF);
  painter_->destroy(white);

  // A window's stream shows the window even when covered, and stops when it closes.
  const uint32_t target = painter_->show({200, 100, 320, 240, 0x00C000, "target", "Game", 0, ""});
  const uint32_t cover = painter_->show({200, 100, 100, 100, 0xFF00FF, "cover", "Other", 0, ""});
  StreamRecorder windowRecorder;
  auto windowStream = startStream(
      CaptureFilter{CaptureFilter::Kind::window, target, CaptureRect{200, 100, 320, 240}, 1.0},
      {.width = 320, .height = 240, .showsCursor = false}, windowRecorder);
  frame = windowRecorder.nextFrame();
  ASSERT_TRUE(frame);
  expectColour(frame->image, 20, 20, 0x00C000);  // its own colour, not the covering window's
  // Drawing under the covering window lands in the window's own picture.
  painter_->fill(target, 0, 0, 160, 240, 0xC0C000);
  for (int i = 0; i < 10 && frame->image.at(20, 20)[2] < 100; ++i) {
    frame = windowRecorder.nextFrame();
    ASSERT_TRUE(frame);
  }
  expectColour(frame->image, 20, 20, 0xC0C000);
  expectColour(frame->image, 300, 200, 0x00C000);

  painter_->destroy(target);
  auto stop = windowRecorder.waitForStop();
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->code, CaptureStreamError::Code::windowGone);
  EXPECT_EQ(stop->description(), "window gone");
  auto picture = backend_->screenshot(
      CaptureFilter{CaptureFilter::Kind::window, target, CaptureRect{200, 100, 320, 240}, 1.0}, 10,
      10, false);
  ASSERT_FALSE(picture);
  EXPECT_EQ(picture.error().code, CaptureError::Code::sourceMissing);
  painter_->destroy(cover);
}

TEST(X11CaptureUnavailable, UnreachableDisplayIsAClearError) {
  auto backend = makeX11CaptureBackend(":65000");
  ASSERT_FALSE(backend);
  EXPECT_EQ(backend.error().code, CaptureError::Code::unavailable);
  EXPECT_EQ(backend.error().description(),
            "screen capture is unavailable: cannot open display :65000");
}

}  // namespace
}  // namespace ferrowin::platform
