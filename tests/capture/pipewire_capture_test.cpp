// The PipeWire backend against a private PipeWire daemon: real video nodes published by
// GStreamer's videotestsrc and by a node the test steers (size changes, cursor metadata).

#include <gtest/gtest.h>

#include <atomic>

#include "platform/linux/pipewire_capture.h"
#include "tests/capture/stream_recorder.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/pipewire_video_source.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::platform {
namespace {

using testing::PipeWireServer;
using testing::PipeWireVideoSource;

class PipeWireCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = PipeWireServer::missing();
    if (!skip_.empty()) return;
    server_ = new PipeWireServer();
    if (!server_->start()) skip_ = "the private PipeWire daemon did not start: " + server_->log();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  // A backend with one display (id 7) showing the node `name`.
  std::unique_ptr<CaptureBackend> backendFor(const std::string& name) {
    auto backend = makePipeWireCaptureBackend({{.displayId = 7, .nodeName = name}},
                                              {server_->connect(), nullptr});
    EXPECT_TRUE(backend) << (backend ? "" : backend.error().description());
    return backend ? std::move(*backend) : nullptr;
  }

  // A stream of display 7, started.
  static std::unique_ptr<CaptureStream> started(CaptureBackend& backend,
                                                const CaptureStreamConfiguration& configuration,
                                                StreamRecorder& recorder) {
    auto stream = backend.createStream(display(configuration.width, configuration.height),
                                       configuration, recorder.delegate());
    if (!stream || !(*stream)->start()) return nullptr;
    return std::move(*stream);
  }

  static CaptureFilter display(int width, int height) {
    return CaptureFilter{CaptureFilter::Kind::display, 7,
                         CaptureRect{0, 0, double(width), double(height)}, 1.0};
  }

  static CaptureStreamConfiguration sized(int width, int height) {
    return {.width = width, .height = height, .fps = 30};
  }

  static PipeWireServer* server_;
  static std::string skip_;
};

PipeWireServer* PipeWireCaptureTest::server_ = nullptr;
std::string PipeWireCaptureTest::skip_;

// Each layout a producer may choose arrives as the same colour in BGRA, at the node's size.
TEST_F(PipeWireCaptureTest, NodeIsListedWithItsSizeAndItsPixelsArriveAsBgra) {
  for (const std::string format : {"BGRx", "RGBA", "xRGB", "ABGR"}) {
    SCOPED_TRACE(format);
    auto node = server_->publishTestPattern("ferrowin-test-" + format, 320, 240, "solid-color",
                                            0xFF2080C0, format);
    ASSERT_TRUE(node);
    auto backend = backendFor("ferrowin-test-" + format);
    ASSERT_TRUE(backend);
    auto content = backend->shareableContent(true);
    ASSERT_TRUE(content) << content.error().description();
    ASSERT_EQ(content->displays.size(), 1u);
    EXPECT_EQ(content->displays[0].id, 7u);
    EXPECT_TRUE(content->displays[0].isMain);
    EXPECT_EQ(content->displays[0].frame, (CaptureRect{0, 0, 320, 240}));
    EXPECT_TRUE(content->windows.empty());
    EXPECT_EQ(backend->displayBounds(7), (CaptureRect{0, 0, 320, 240}));

    StreamRecorder recorder;
    // Padded to 336 wide: the picture keeps its size at the left, black on the right.
    CaptureStreamConfiguration configuration = sized(336, 240);
    configuration.destinationRect = CaptureRect{0, 0, 320, 240};
    auto stream = started(*backend, configuration, recorder);
    ASSERT_TRUE(stream);
    auto frame = recorder.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->image.width, 336);
    EXPECT_EQ(frame->image.height, 240);
    EXPECT_EQ(frame->status, CaptureFrameStatus::complete);
    expectColour(frame->image, 10, 10, 0x2080C0);
    expectColour(frame->image, 319, 239, 0x2080C0);
    expectColour(frame->image, 330, 100, 0x000000);
    stream->stop();

    auto thumbnail = backend->screenshot(display(320, 240), 160, 120, false);
    ASSERT_TRUE(thumbnail) << thumbnail.error().description();
    EXPECT_EQ(thumbnail->width, 160);
    expectColour(*thumbnail, 80, 60, 0x2080C0);
  }
}

TEST_F(PipeWireCaptureTest, NodeGoingAwayStopsTheStreamWithDisplayGone) {
  auto node = server_->publishTestPattern("ferrowin-test-gone", 320, 240, "smpte");
  ASSERT_TRUE(node);
  auto backend = backendFor("ferrowin-test-gone");
  ASSERT_TRUE(backend);
  StreamRecorder recorder;
  auto stream = started(*backend, sized(320, 240), recorder);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder.nextFrame());
  node->remove();
  auto stop = recorder.waitForStop();
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->code, CaptureStreamError::Code::displayGone);
  // Stopping a stream that stopped by itself is fine.
  stream->stop();
  // Neither another display nor a window is there to stream.
  auto other = backend->createStream(CaptureFilter{CaptureFilter::Kind::display, 8, {}, 1.0},
                                     sized(320, 240), recorder.delegate());
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().code, CaptureError::Code::sourceMissing);
  EXPECT_FALSE(backend->createStream(CaptureFilter{CaptureFilter::Kind::window, 7, {}, 1.0},
                                     sized(320, 240), recorder.delegate()));
}

// The pointer comes from the stream's metadata and is drawn in only when asked.
TEST_F(PipeWireCaptureTest, CursorFromTheMetadataIsDrawnInWhenAskedAndASizeChangeIsADisplayChange) {
  auto source = PipeWireVideoSource::publish(server_->connect(), "ferrowin-test-cursor", 320, 240,
                                             0x000080);
  ASSERT_TRUE(source);
  source->showCursor(100, 50);
  ASSERT_TRUE(server_->waitForNode("ferrowin-test-cursor"));
  auto backend = backendFor("ferrowin-test-cursor");
  ASSERT_TRUE(backend);
  for (const bool showsCursor : {true, false}) {
    SCOPED_TRACE(showsCursor ? "cursor shown" : "cursor hidden");
    StreamRecorder recorder;
    CaptureStreamConfiguration configuration = sized(320, 240);
    configuration.showsCursor = showsCursor;
    auto stream = started(*backend, configuration, recorder);
    ASSERT_TRUE(stream);
    auto frame = recorder.nextFrame();
    ASSERT_TRUE(frame);
    expectColour(frame->image, 103, 53, showsCursor ? 0xFFFFFF : 0x000080);
    expectColour(frame->image, 99, 49, 0x000080);
    expectColour(frame->image, 108, 58, 0x000080);
    stream->stop();
  }
  // The pointer moving is a change of the picture.
  StreamRecorder recorder;
  auto stream = started(*backend, sized(320, 240), recorder);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder.nextFrame());
  source->showCursor(200, 150);
  std::optional<CapturedFrame> frame;
  for (int i = 0; i < 30; ++i) {
    frame = recorder.nextFrame();
    ASSERT_TRUE(frame);
    if (frame->image.at(203, 153)[0] == 0xFF) break;
  }
  expectColour(frame->image, 203, 153, 0xFFFFFF);
  expectColour(frame->image, 103, 53, 0x000080);
  stream->stop();

  // The node's new size is a display change; the stream goes on with the new picture.
  auto content = backend->shareableContent(true);
  ASSERT_TRUE(content && content->displays.size() == 1u);
  EXPECT_EQ(content->displays[0].frame, (CaptureRect{0, 0, 320, 240}));

  std::atomic<int> changes = 0;
  backend->setDisplayChangeHandler([&] { ++changes; });
  StreamRecorder resizing;
  auto resized = started(*backend, sized(320, 240), resizing);
  ASSERT_TRUE(resized);
  ASSERT_TRUE(resizing.nextFrame());
  EXPECT_EQ(changes, 0);

  source->resize(640, 360);
  source->setColour(0xC04040);
  ASSERT_TRUE(testing::waitUntil(5, [&] { return changes > 0; }));
  EXPECT_EQ(backend->displayBounds(7), (CaptureRect{0, 0, 640, 360}));
  // What the streamer does on a display change: the new size configured.
  ASSERT_TRUE(resized->updateConfiguration(sized(640, 360)));
  for (int i = 0; i < 30; ++i) {
    frame = resizing.nextFrame();
    ASSERT_TRUE(frame);
    if (frame->image.width == 640 && frame->image.at(600, 300)[2] > 0xA0) break;
  }
  EXPECT_EQ(frame->image.width, 640);
  expectColour(frame->image, 600, 300, 0xC04040);
  resized->stop();
  backend->setDisplayChangeHandler({});
}

}  // namespace
}  // namespace ferrowin::platform
