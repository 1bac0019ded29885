// The virtual display and its service against the scripted display server, with the real
// streamer capturing through the synthetic backend; everything paced by a ManualClock.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <atomic>
#include <functional>

#include "platform/fake/fake_virtual_displays.h"
#include "server/capture/virtual_display_service.h"
#include "tests/capture/instant_encoder.h"
#include "tests/support/log_capture.h"

namespace ferrowin::capture {
namespace {

using platform::CaptureRect;
using platform::FakeVirtualDisplays;
using Display = FakeVirtualDisplays::Display;

long count(const std::vector<std::string>& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

long indexOf(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : long(it - lines.begin());
}

StreamConfig wanted(VirtualDisplayChoice placement, int width = 2532, int height = 1170,
                    int fps = 60) {
  return {.width = width, .height = height, .fps = fps, .virtualDisplay = placement};
}

class VirtualDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override { make({Display{1, {0, 0, 1512, 982}}}); }

  void make(std::vector<Display> displays) {
    if (streamer) streamer->stop();
    capture = std::make_shared<platform::SyntheticCaptureBackend>(
        std::vector<platform::CaptureDisplay>{}, clock, clock);
    fake = std::make_shared<FakeVirtualDisplays>(capture, std::move(displays));
    manager = std::make_shared<CaptureSourceManager>(capture);
    ScreenStreamer::Dependencies deps{main, clock, clock, capture};
    deps.encoderFactory = [this](const platform::VideoEncoderSettings&)
        -> Expected<std::unique_ptr<platform::VideoEncoder>, platform::VideoEncoderError> {
      return std::make_unique<InstantEncoder>(&encodersCreated);
    };
    streamer = ScreenStreamer::create(deps);
    streamer->setCaptureSourceManager(manager);
    manager->setStreamer(streamer);
    video::StreamSourceCallbacks callbacks;
    callbacks.onEncoded = [this](const video::Bytes&, bool, uint64_t) { ++encoded; };
    callbacks.onError = [this](const std::string& text) { errors.push_back(text); };
    streamer->setCallbacks(callbacks);
    service = VirtualDisplayService::create({main, clock, clock, fake, capture});
    service->setCaptureSources(manager);
    service->setStreamer(streamer);
  }

  void TearDown() override { streamer->stop(); }

  /// Runs the main executor and moves time on in 10 ms steps until `done` (at most `seconds`).
  void advanceUntil(const std::function<bool()>& done, double seconds = 10) {
    for (double t = 0; t < seconds && !done(); t += 0.01) {
      main.poll();
      main.restart();
      clock.advance(0.01);
    }
    main.poll();
    main.restart();
  }

  void prepare(const StreamConfig& config) {
    bool done = false;
    asio::co_spawn(main, service->prepare(config), [&](std::exception_ptr) { done = true; });
    advanceUntil([&] { return done; });
    ASSERT_TRUE(done);
  }

  std::vector<std::pair<uint32_t, CaptureRect>> frames() const {
    std::vector<std::pair<uint32_t, CaptureRect>> out;
    for (const Display& display : fake->displays()) out.emplace_back(display.id, display.frame);
    return out;
  }

  asio::io_context main;
  common::ManualClock clock;
  std::shared_ptr<platform::SyntheticCaptureBackend> capture;
  std::shared_ptr<FakeVirtualDisplays> fake;
  std::shared_ptr<CaptureSourceManager> manager;
  std::shared_ptr<ScreenStreamer> streamer;
  std::shared_ptr<VirtualDisplayService> service;
  int encodersCreated = 0;
  std::atomic<int> encoded{0};
  std::vector<std::string> errors;
  testing::LogCapture logs;
};

TEST_F(VirtualDisplayTest, CreationChecksTheSizeAndMainMirrorsABuiltInPanel) {
  auto tiny = VirtualDisplay::create(*fake, "Ferrowin Virtual", 1, 1000, 4, 60, 110);
  ASSERT_FALSE(tiny);
  EXPECT_EQ(tiny.error().description(), "Pixel size must be at least 2×2.");
  EXPECT_TRUE(fake->journal.empty());

  // Main with a built-in panel mirrors it and shifts only what is at the origin (a real X server
  // has no panel: virtual_display_system_test).
  make({Display{1, {0, 0, 1512, 982}, true}, Display{2, {1512, 0, 1920, 1080}}});
  auto withPanel = VirtualDisplay::create(*fake, "V", 1920, 1080, 4, 60, 110);
  ASSERT_TRUE(withPanel);
  const uint32_t p = (*withPanel)->displayID();
  fake->journal.clear();
  ASSERT_TRUE(
      placeVirtualDisplay(*fake, p, VirtualDisplayChoice::main, fake->liveDisplays(), 1920));
  EXPECT_GE(indexOf(fake->journal, "mirror 1 " + std::to_string(p)), 0);
  EXPECT_EQ(indexOf(fake->journal, "origin 1 1920,0"), -1);
  EXPECT_EQ(indexOf(fake->journal, "origin 2 1920,0"), -1);  // neither main nor at the origin
  EXPECT_EQ(fake->mainId(), p);
  // Restoring onto the virtual display itself (or onto none) does nothing.
  fake->journal.clear();
  EXPECT_TRUE(restoreMainDisplay(*fake, p, p));
  EXPECT_TRUE(restoreMainDisplay(*fake, 0, p));
  EXPECT_TRUE(fake->journal.empty());
}

struct FailureCase {
  const char* name;
  std::function<void(FakeVirtualDisplays&)> script;
  std::string text;
  VirtualDisplayChoice placement = VirtualDisplayChoice::extended;
};

TEST_F(VirtualDisplayTest, PrepareCreatesReusesRecreatesAndEveryFailureEndsOff) {
  prepare(wanted(VirtualDisplayChoice::extended));
  ASSERT_NE(service->display(), nullptr);
  const uint32_t first = service->display()->displayID();
  EXPECT_TRUE(service->isActive.get());
  EXPECT_EQ(service->statusMessage.get(), "Extended · 2532×1170 · 2.16:1 · 60 Hz");
  EXPECT_EQ(manager->selectedId(), displaySourceId(first));
  EXPECT_EQ(fake->displayBounds(first)->x, 1512);

  // A reconnect with the same size, rate and placement only selects it again.
  manager->select("display:1");
  prepare(wanted(VirtualDisplayChoice::extended));
  EXPECT_TRUE(logs.contains("Reusing virtual display " + std::to_string(first)));
  EXPECT_EQ(count(fake->journal, "create 1"), 1);
  EXPECT_EQ(manager->selectedId(), displaySourceId(first));

  // The same size as the main display: a new monitor.
  prepare(wanted(VirtualDisplayChoice::main));
  ASSERT_NE(service->display(), nullptr);
  const uint32_t second = service->display()->displayID();
  EXPECT_NE(second, first);
  EXPECT_LT(indexOf(fake->journal, "remove " + std::to_string(first)),
            indexOf(fake->journal, "origin " + std::to_string(second) + " 0,0"));
  EXPECT_EQ(service->statusMessage.get(), "Main · 2532×1170 · 2.16:1 · 60 Hz");

  // `none` discards it and selects the main display.
  prepare(wanted(VirtualDisplayChoice::none));
  EXPECT_EQ(service->display(), nullptr);
  EXPECT_FALSE(fake->displayBounds(second));
  EXPECT_EQ(manager->selectedId(), "display:1");
  EXPECT_EQ(service->statusMessage.get(), "Display is off");

  // Every failure ends off, on the main display, with the layout as before.
  const std::vector<FailureCase> cases{
      {"missing", [](FakeVirtualDisplays& f) { f.missing = "RandR virtual outputs are missing."; },
       "RandR virtual outputs are missing."},
      {"offline", [](FakeVirtualDisplays& f) { f.neverOnline = true; },
       "Virtual display 100 did not come online."},
      {"placement", [](FakeVirtualDisplays& f) { f.originFailures[100] = 1002; },
       "Place extended display failed (1002)."},
      {"shifting the old main display", [](FakeVirtualDisplays& f) { f.originFailures[1] = 7; },
       "Shift display 1 failed (7).", VirtualDisplayChoice::main},
      {"completion", [](FakeVirtualDisplays& f) { f.completeFailure = 1004; },
       "Complete display configuration failed (1004)."},
      {"capture", [](FakeVirtualDisplays& f) { f.neverShareable = true; },
       "Virtual display 100 is not shareable."},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    make({Display{1, {0, 0, 1512, 982}}});
    c.script(*fake);
    const auto before = frames();
    const double start = clock.now();
    prepare(wanted(c.placement));
    EXPECT_TRUE(logs.contains("Virtual display failed: " + c.text));
    EXPECT_EQ(service->display(), nullptr);
    EXPECT_FALSE(service->isActive.get());
    EXPECT_EQ(service->statusMessage.get(), "Display is off");
    EXPECT_EQ(manager->selectedId(), "display:1");
    EXPECT_EQ(frames(), before);
    EXPECT_EQ(fake->mainId(), 1u);
    EXPECT_LT(clock.now() - start, 3.2);  // the waits end at their limits
  }
}

TEST_F(VirtualDisplayTest, ReleaseRemovesAtOnceUnlessCaptureMustMoveFirst) {
  // During creation: the new monitor is dropped.
  fake->neverShareable = true;  // creation waits for capture
  bool done = false;
  asio::co_spawn(main, service->prepare(wanted(VirtualDisplayChoice::extended)),
                 [&](std::exception_ptr) { done = true; });
  advanceUntil([&] { return fake->journal.size() >= 3; }, 1);  // created and placed
  service->release();
  advanceUntil([&] { return done; });
  EXPECT_TRUE(done);
  EXPECT_EQ(service->display(), nullptr);
  EXPECT_EQ(fake->journal.back(), "remove 100");
  EXPECT_FALSE(logs.contains("Virtual display failed: Virtual display 100 is not shareable."));
  fake->neverShareable = false;

  service->release();  // nothing to release
  EXPECT_EQ(service->statusMessage.get(), "Display is off");

  // Nothing captures it: removed at once.
  prepare(wanted(VirtualDisplayChoice::extended));
  const uint32_t v = service->display()->displayID();
  manager->select("display:1");  // the client chose another source
  service->release();
  EXPECT_FALSE(service->isDestroying());
  EXPECT_EQ(fake->journal.back(), "remove " + std::to_string(v));
  EXPECT_EQ(manager->selectedId(), "display:1");

  // Still selected but not streaming: removed at once, the real display selected.
  prepare(wanted(VirtualDisplayChoice::extended));
  const uint32_t w = service->display()->displayID();
  service->release();
  EXPECT_EQ(fake->journal.back(), "remove " + std::to_string(w));
  EXPECT_EQ(manager->selectedId(), "display:1");

  // While streaming as main: the main display is restored, capture moves, then the monitor goes.
  prepare(wanted(VirtualDisplayChoice::main, 1280, 720));
  ASSERT_NE(service->display(), nullptr);
  const uint32_t m = service->display()->displayID();
  streamer->start(wanted(VirtualDisplayChoice::main, 1280, 720));
  advanceUntil([&] { return encoded > 3; });
  ASSERT_GT(encoded, 3);
  EXPECT_EQ(streamer->selectedSourceId(), displaySourceId(m));

  fake->journal.clear();
  service->release();
  // Off at once; the monitor stays until capture has moved.
  EXPECT_EQ(service->statusMessage.get(), "Display is off");
  EXPECT_EQ(service->display(), nullptr);
  EXPECT_TRUE(service->isDestroying());
  service->release();  // a second release during the takedown does nothing
  main.poll();
  main.restart();
  EXPECT_EQ(indexOf(fake->journal, "remove " + std::to_string(m)), -1);
  EXPECT_EQ(fake->mainId(), 1u);  // restored before anything else

  advanceUntil([&] { return !service->isDestroying(); });
  ASSERT_FALSE(service->isDestroying());
  EXPECT_GE(indexOf(fake->journal, "remove " + std::to_string(m)), 0);
  EXPECT_EQ(streamer->selectedSourceId(), "display:1");
  EXPECT_TRUE(streamer->isRunning());
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace ferrowin::capture
