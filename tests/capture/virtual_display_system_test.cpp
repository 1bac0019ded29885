// Virtual displays on a real X server: Xorg with the dummy driver (spare outputs DUMMY1…) for
// the RandR backend and its transactions (a monitor of the client's size beside the real one,
// made, streamed and removed by the service, and Xvfb's "missing" path, run end to end in the
// integration tests). After every test the layout must read exactly as before, as
// xrandr and xdpyinfo print it.

#include <gtest/gtest.h>

#include <tuple>

#include "platform/linux/x11_capture.h"
#include "platform/linux/x11_virtual_display.h"
#include "server/capture/virtual_display_service.h"
#include "tests/support/dummy_xorg.h"
#include "tests/support/log_capture.h"
#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::capture {
namespace {

TEST(CvtTimings, ReducedBlankingMatchesTheStandardTable) {
  // CVT-RB 1920 × 1080 at 60 Hz: 138.50 MHz, 2080 × 1111 total.
  const platform::CvtMode mode = platform::cvtReducedBlanking(1920, 1080, 60);
  EXPECT_EQ(mode.dotClockHz, 138'500'000u);
  EXPECT_EQ(std::tie(mode.htotal, mode.hsyncStart, mode.hsyncEnd),
            std::make_tuple(2080, 1968, 2000));
  EXPECT_EQ(std::tie(mode.vtotal, mode.vsyncStart, mode.vsyncEnd),
            std::make_tuple(1111, 1083, 1088));
}

class DummyXorgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { xorg_ = new testing::DummyXorg(); }
  static void TearDownTestSuite() {
    delete xorg_;
    xorg_ = nullptr;
  }

  void SetUp() override {
    if (xorg_->name().empty()) GTEST_SKIP() << "Xorg with the dummy driver: " << xorg_->error();
    if (!testing::onPath("xrandr") || !testing::onPath("xdpyinfo")) {
      GTEST_SKIP() << "xrandr and xdpyinfo are needed (scripts/bootstrap)";
    }
    displays = platform::makeX11VirtualDisplayBackend(xorg_->name());
    ASSERT_TRUE(displays);
    auto x11 = platform::makeX11CaptureBackend(xorg_->name());
    ASSERT_TRUE(x11);
    capture = std::move(*x11);
    before = layout();
    realId = displays->mainDisplayId();
  }

  void TearDown() override {
    if (!xorg_->name().empty()) {
      EXPECT_EQ(layout(), before) << "the layout changed";
    }
  }

  /// Everything RandR and the core protocol say about the arrangement: the screen, every
  /// output that drives a CRTC with its properties and modes, the monitors, the screen's
  /// millimetres, and how many of our modes exist. (Outputs without a CRTC are left out: the
  /// dummy driver reports an output connected, with modes of its own, once it has been used.)
  std::string layout() const {
    const std::string display = "DISPLAY=" + xorg_->name() + " ";
    return testing::runCommand(display +
                               "xrandr --verbose | grep -v Timestamp | awk '/^[^ \t]/ "
                               "{ keep = /^Screen/ || /[0-9]+x[0-9]+[+][0-9]+[+][0-9]+/ } keep'") +
           testing::runCommand(display + "xrandr --verbose | grep -c Ferrowin") +
           testing::runCommand(display + "xrandr --listmonitors") +
           testing::runCommand(display + "xdpyinfo | grep dimensions");
  }

  static testing::DummyXorg* xorg_;
  std::shared_ptr<platform::VirtualDisplayBackend> displays;
  std::shared_ptr<platform::CaptureBackend> capture;
  std::string before;
  uint32_t realId = 0;
  testing::LogCapture logs;
};

testing::DummyXorg* DummyXorgTest::xorg_ = nullptr;

TEST_F(DummyXorgTest, MainPlacementTakesTheOriginRestoreGivesItBackAndFailuresChangeNothing) {
  auto created = VirtualDisplay::create(*displays, "Ferrowin Virtual", 1920, 1080, 4, 30, 110);
  ASSERT_TRUE(created) << created.error().description();
  const uint32_t v = (*created)->displayID();
  EXPECT_EQ((*created)->serialNum(), 1u);
  // The capture backend knows it by the same id.
  auto content = capture->shareableContent(true);
  ASSERT_TRUE(content);
  EXPECT_TRUE(std::any_of(content->displays.begin(), content->displays.end(),
                          [&](const platform::CaptureDisplay& d) { return d.id == v; }));
  ASSERT_TRUE(placeVirtualDisplay(*displays, v, VirtualDisplayChoice::main,
                                  displays->liveDisplays(), 1920));
  EXPECT_TRUE(logs.contains("No built-in display online; skipped mirroring"));
  EXPECT_EQ(displays->mainDisplayId(), v);
  EXPECT_EQ(capture->mainDisplayId(), v);
  EXPECT_EQ(displays->displayBounds(v), (platform::CaptureRect{0, 0, 1920, 1080}));
  EXPECT_EQ(displays->displayBounds(realId), (platform::CaptureRect{1920, 0, 1280, 720}));

  ASSERT_TRUE(restoreMainDisplay(*displays, realId, v));
  EXPECT_EQ(displays->mainDisplayId(), realId);
  EXPECT_EQ(displays->displayBounds(realId), (platform::CaptureRect{0, 0, 1280, 720}));
  EXPECT_EQ(displays->displayBounds(v), (platform::CaptureRect{1920, 0, 1920, 1080}));

  // Removed while main, without a restore: the rest moves back to the origin, the real display
  // primary again.
  ASSERT_TRUE(placeVirtualDisplay(*displays, v, VirtualDisplayChoice::main,
                                  displays->liveDisplays(), 1920));
  created->reset();

  // Failures change nothing. Too large for the framebuffer on every spare output:
  auto huge = VirtualDisplay::create(*displays, "Ferrowin Virtual", 8000, 2000, 4, 60, 110);
  ASSERT_FALSE(huge);
  EXPECT_TRUE(huge.error().description().starts_with("RandR could not switch DUMMY"))
      << huge.error().description();
  EXPECT_TRUE(logs.contains("Virtual display serial 3 failed; trying the next"));
  EXPECT_EQ(layout(), before);

  // A transaction whose screen cannot be allocated, one naming no display, and a cancelled one.
  auto moved = displays->beginConfiguration();
  ASSERT_TRUE(moved);
  EXPECT_EQ((*moved)->configureOrigin(realId, 30000, 0), 0);
  EXPECT_NE((*moved)->complete(), 0);
  EXPECT_EQ(layout(), before);
  auto unknown = displays->beginConfiguration();
  EXPECT_EQ((*unknown)->configureOrigin(12345, 10, 0), platform::kDisplayNotFound);
  EXPECT_EQ((*unknown)->configureMirror(realId, 12345), platform::kDisplayNotFound);
  auto cancelled = displays->beginConfiguration();
  EXPECT_EQ((*cancelled)->configureOrigin(realId, 100, 0), 0);
  (*cancelled)->cancel();
  EXPECT_EQ(layout(), before);

  // A placement that fails after its monitor was made: the monitor goes again.
  created = VirtualDisplay::create(*displays, "Ferrowin Virtual", 1280, 720, 4, 60, 110);
  ASSERT_TRUE(created);
  auto far = displays->beginConfiguration();
  EXPECT_EQ((*far)->configureOrigin((*created)->displayID(), 30000, 0), 0);
  EXPECT_NE((*far)->complete(), 0);
  created->reset();
}

}  // namespace
}  // namespace ferrowin::capture
