// Capture to bytes with real parts: the synthetic display streaming in real time, the encoder
// session on a capture queue, and libx265; ffmpeg decodes what comes out.

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "common/runtime/serial_queue.h"
#include "platform/synthetic/synthetic_capture.h"
#include "protocol/annexb.h"
#include "server/capture/encoder_session.h"
#include "tests/capture/test_media.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::capture {
namespace {

TEST(CapturePipeline, SyntheticFramesEncodeIntoADecodableStream) {
  if (!testing::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/bootstrap)";
  common::SerialQueue captureQueue("com.zavel.ferrowin.capture");
  std::mutex mutex;
  std::condition_variable progressed;
  std::vector<uint8_t> stream;  // Annex B, as a client rebuilds it
  int encoded = 0, keyframesWithSets = 0;
  std::vector<std::vector<uint8_t>> lastSets;

  HEVCEncoderSession::Callbacks callbacks;
  callbacks.post = [&](std::function<void()> work) { captureQueue.post(std::move(work)); };
  callbacks.running = [] { return true; };
  callbacks.activeCaptureSize = [] { return std::pair<int, int>{160, 96}; };
  callbacks.reportError = [](const std::string& text) { ADD_FAILURE() << text; };
  callbacks.onParameterSets = [&](const auto& sets, int width, int height) {
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 96);
    lastSets = sets;
  };
  callbacks.onEncoded = [&](std::vector<uint8_t> bytes, bool keyframe, uint64_t) {
    std::lock_guard lock(mutex);
    auto annexB = toAnnexB(keyframe ? lastSets : std::vector<std::vector<uint8_t>>{}, bytes);
    ASSERT_TRUE(annexB);
    if (keyframe && lastSets.size() == 3) ++keyframesWithSets;
    stream.insert(stream.end(), annexB->begin(), annexB->end());
    ++encoded;
    progressed.notify_all();
  };
  auto session = std::make_shared<HEVCEncoderSession>(platform::createHevcEncoder,
                                                      common::SteadyClock::instance(), callbacks);
  StreamConfig config;
  config.fps = 30;
  config.bitrateKbps = 500;
  session->configure(config, platform::EncoderPreference::software);

  platform::SyntheticCaptureBackend backend;
  platform::CaptureStreamConfiguration capture;
  capture.width = 160;
  capture.height = 96;
  capture.fps = 30;
  platform::CaptureStream::Delegate delegate;
  delegate.onFrame = [&](platform::CapturedFrame frame) {
    const double arrival = common::SteadyClock::instance().now();
    captureQueue.post([&, frame = std::move(frame), arrival]() mutable {
      session->processFrame(std::move(frame.image), frame.ptsMicros, arrival);
    });
  };
  auto source = backend.createStream(
      {platform::CaptureFilter::Kind::display, 1, {0, 0, 1920, 1080}, 1.0}, capture, delegate);
  ASSERT_TRUE(source && (*source)->start());
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(progressed.wait_for(lock, std::chrono::seconds(20), [&] { return encoded >= 15; }));
  }
  (*source)->stop();
  captureQueue.sync([&] { session->fullReset(); });

  EXPECT_GE(keyframesWithSets, 1);
  testing::TempDir dir;
  {
    std::lock_guard lock(mutex);
    std::ofstream(dir / "capture.hevc", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
  }
  const auto decoded = testing::runCommand("ffmpeg -nostdin -v error -i " +
                                           (dir / "capture.hevc").string() + " -f null -");
  EXPECT_EQ(decoded.exitCode, 0);
  EXPECT_EQ(decoded.output, "");
}

}  // namespace
}  // namespace ferrowin::capture
