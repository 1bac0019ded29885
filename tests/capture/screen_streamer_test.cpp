// The screen streamer with the synthetic capture backend, paced by a ManualClock, with an
// immediate encoder double (the real encoder behind it runs end to end in the integration tests).

#include "server/capture/screen_streamer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/synthetic/synthetic_capture.h"
#include "tests/capture/instant_encoder.h"
#include "tests/support/log_capture.h"

namespace ferrowin::capture {
namespace {

using platform::CaptureDisplay;
using platform::CaptureWindow;

struct Output {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> events;  // "sets WxH", "key", "delta"
  std::vector<std::string> errors;
  std::vector<std::pair<int, int>> dimensions;

  /// Waits for `count` encoded frames of one kind ("key" or "delta"); each encoder session
  /// starts with one keyframe.
  bool waitFor(const std::string& kind, long count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), [&] {
      return std::count(events.begin(), events.end(), kind) >= count;
    });
  }
};

CaptureDisplay display(uint32_t id, double x, double width, double height, bool isMain) {
  return CaptureDisplay{id, {x, 0, width, height}, 1.0, isMain};
}

CaptureWindow gameWindow(uint32_t id) {
  return {.id = id,
          .frame = {100, 100, 800, 600},
          .title = "Level 1",
          .applicationIdentifier = "org.example.game",
          .applicationName = "Game",
          .pid = 4242};
}

class ScreenStreamerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<platform::SyntheticCaptureBackend>(
        std::vector<CaptureDisplay>{display(1, 0, 1920, 1080, true)}, clock, clock);
    manager = std::make_shared<CaptureSourceManager>(backend);
    ScreenStreamer::Dependencies deps{main, clock, clock, backend};
    deps.encoderFactory = [this](const platform::VideoEncoderSettings& settings)
        -> Expected<std::unique_ptr<platform::VideoEncoder>, platform::VideoEncoderError> {
      encoderSizes.emplace_back(settings.width, settings.height);
      return std::make_unique<InstantEncoder>(&encodersCreated);
    };
    streamer = ScreenStreamer::create(deps);
    streamer->setCaptureSourceManager(manager);
    streamer->setPointerGeometryStore(&geometry);
    manager->setStreamer(streamer);
    video::StreamSourceCallbacks callbacks;
    callbacks.onParameterSets = [this](const std::vector<video::Bytes>& sets, int w, int h) {
      std::lock_guard guard(output.lock);
      output.events.push_back("sets " + std::to_string(sets.size()) + " " + std::to_string(w) +
                              "x" + std::to_string(h));
    };
    callbacks.onEncoded = [this](const video::Bytes&, bool keyframe, uint64_t) {
      std::lock_guard guard(output.lock);
      output.events.push_back(keyframe ? "key" : "delta");
      output.changed.notify_all();
    };
    callbacks.onError = [this](const std::string& text) { output.errors.push_back(text); };
    callbacks.onCaptureDimensionsChanged = [this](int w, int h) {
      output.dimensions.emplace_back(w, h);
    };
    streamer->setCallbacks(callbacks);
    streamer->setStreamStats(stats);
  }

  void TearDown() override {
    streamer->stop();
    streamer.reset();
  }

  void startAndRun(StreamConfig config = {}) {
    streamer->start(config);
    main.poll();
    main.restart();
  }

  /// Moves time on in frame steps, letting the main executor run in between.
  void advanceFrames(int frames) {
    for (int i = 0; i < frames; ++i) {
      clock.advance(1.0 / 60);
      main.poll();
      main.restart();
    }
  }

  platform::ShareableContent content() { return *backend->shareableContent(true); }

  bool apply(const std::string& id, bool surfacesError) {
    std::optional<bool> applied;
    streamer->applyCaptureSource(id, content(), surfacesError, [&](bool a) { applied = a; });
    // A switch answers once the capture queue has closed the old encoder.
    for (int i = 0; i < 5000 && !applied; ++i) {
      main.poll();
      main.restart();
      if (!applied) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(applied.has_value());
    return applied.value_or(false);
  }

  asio::io_context main;
  common::ManualClock clock;
  std::shared_ptr<platform::SyntheticCaptureBackend> backend;
  std::shared_ptr<CaptureSourceManager> manager;
  std::shared_ptr<video::VideoStreamStats> stats = std::make_shared<video::VideoStreamStats>();
  common::CapturePointerGeometryStore geometry;
  std::shared_ptr<ScreenStreamer> streamer;
  std::vector<std::pair<int, int>> encoderSizes;
  int encodersCreated = 0;
  Output output;
};

TEST_F(ScreenStreamerTest, SourceSwitchesReconfigureAndAClosedWindowFallsBackToTheDesktop) {
  backend->setWindows({gameWindow(7)});
  testing::LogCapture logs;
  startAndRun();
  advanceFrames(2);
  ASSERT_TRUE(output.waitFor("delta", 1));

  // Same source, same size: applied silently, and the next frame is a keyframe again from the
  // same encoder.
  EXPECT_TRUE(apply("display:1", true));
  EXPECT_FALSE(logs.contains("Capture reconfigured"));
  advanceFrames(1);
  ASSERT_TRUE(output.waitFor("key", 2));
  EXPECT_EQ(encodersCreated, 1);

  EXPECT_TRUE(apply("window:7", true));
  EXPECT_EQ(manager->selectedId(), "window:7");
  EXPECT_EQ(output.dimensions.back(), (std::pair<int, int>{800, 592}));
  EXPECT_TRUE(logs.contains(
      "Capture reconfigured: Primary Display (display:1) -> Level 1 (window:7); video 1280x720 -> "
      "800x592 (source 800x600, max 1280x720)"));
  EXPECT_EQ(geometry.read(), (common::CapturePointerGeometry{{100, 100, 800, 600}, 800, 592}));
  advanceFrames(1);
  ASSERT_TRUE(output.waitFor("key", 3));
  EXPECT_EQ(encoderSizes.back(), (std::pair<int, int>{800, 592}));

  // A missing source: surfaced or only logged, and streaming goes on either way.
  EXPECT_FALSE(apply("window:99", false));
  EXPECT_TRUE(output.errors.empty());
  EXPECT_TRUE(logs.contains("Capture switch failed: capture source not found"));
  EXPECT_FALSE(apply("window:98", true));
  EXPECT_EQ(output.errors,
            std::vector<std::string>{"Capture switch failed: capture source not found"});
  EXPECT_TRUE(streamer->isRunning());
  EXPECT_EQ(streamer->selectedSourceId(), "window:98");

  // A window that closes falls back to the desktop, without an error for the client.
  ASSERT_TRUE(apply("window:7", true));
  backend->setWindows({});
  // The stream notices at its next frame; the fallback then passes through the capture queue,
  // which a busy machine may be slow to run.
  const std::string fellBack =
      "Window capture lost (window:7); fell back to desktop (display:1). Cause: Capture stopped: "
      "window gone";
  advanceFrames(2);
  for (int i = 0; i < 1000 && !logs.contains(fellBack); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    advanceFrames(1);
  }
  EXPECT_TRUE(logs.contains("Capture stopped: window gone; attempting desktop fallback"));
  EXPECT_TRUE(logs.contains(fellBack));
  EXPECT_TRUE(streamer->isRunning());
  EXPECT_EQ(streamer->selectedSourceId(), "display:1");
  EXPECT_EQ(output.dimensions.back(), (std::pair<int, int>{1280, 720}));
  EXPECT_EQ(output.errors.size(), 1u);  // only the surfaced switch failure above
}

TEST_F(ScreenStreamerTest, NoDisplayFailsTheStartAndALostDisplayStops) {
  backend->setDisplays({});
  testing::LogCapture logs;
  startAndRun();
  EXPECT_FALSE(streamer->isRunning());
  EXPECT_TRUE(logs.contains("Screen capture failed: capture source not found"));

  backend->setDisplays({display(1, 0, 1920, 1080, true), display(2, 1920, 1280, 720, false)});
  startAndRun();
  ASSERT_TRUE(apply("display:2", true));
  backend->setDisplays({display(1, 0, 1920, 1080, true)});
  advanceFrames(2);
  EXPECT_FALSE(streamer->isRunning());
  EXPECT_EQ(output.errors,
            (std::vector<std::string>{"Screen capture failed: capture source not found",
                                      "Capture stopped: display gone"}));
}

// A width that is no multiple of 16 is encoded padded on the right; the parameter sets name the
// picture's own width, which the client crops to. A rate of 0 asks for one picture a second.
TEST_F(ScreenStreamerTest, ParameterSetsNameTheContentWidthOfAPaddedPicture) {
  backend->setDisplays({display(1, 0, 1366, 768, true)});
  startAndRun({.width = 1366, .height = 768, .fps = 0});
  EXPECT_DOUBLE_EQ(stats->snapshot().targetIntervalMs, 1000.0);
  clock.advance(1.0);
  main.poll();
  main.restart();
  ASSERT_TRUE(output.waitFor("key", 1));
  EXPECT_EQ(encoderSizes.back(), (std::pair<int, int>{1376, 768}));
  std::lock_guard guard(output.lock);
  EXPECT_EQ(output.events.front(), "sets 3 1366x768");
}

}  // namespace
}  // namespace ferrowin::capture
