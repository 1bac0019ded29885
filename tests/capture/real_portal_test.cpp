// The desktop's own ScreenCast portal: sway on its headless backend with xdg-desktop-portal and
// its wlroots backend, whose chooser grants the one output without a dialog (skipped with the
// reason where they are not installed). The output's real picture — the colour swaybg paints —
// streams through our PipeWire backend, in a first conversation and in the next one, which offers
// the token the first one kept.

#include <gtest/gtest.h>

#include "platform/linux/portal_capture.h"
#include "tests/capture/stream_recorder.h"
#include "tests/support/sway_session.h"

namespace ferrowin::platform {
namespace {

TEST(RealScreenCastPortal, SwayOutputStreamsThroughTheDesktopPortal) {
  if (const std::string skip = testing::SwaySession::missing(); !skip.empty()) GTEST_SKIP() << skip;
  testing::SwaySession desktop;
  ASSERT_TRUE(desktop.start()) << desktop.log();
  const std::string failure = desktop.runAsUser([&]() -> std::string {
    common::SettingsStore settings(desktop.directory() / "host");
    PortalCapture capture({.busAddress = desktop.busAddress(),
                           .settings = &settings,
                           .tokenKey = "token",
                           .timeout = std::chrono::seconds(30)});
    for (const char* conversation : {"first", "with the kept token"}) {
      auto monitors = capture.ask();
      if (!monitors) return std::string(conversation) + ": " + monitors.error().description();
      if (*monitors != 1 || !settings.stringValue("token")) return "no monitor or no token";
      StreamRecorder recorder;
      auto stream = capture.backend()->createStream(
          CaptureFilter{CaptureFilter::Kind::display, 1, {}, 1.0},
          {.width = testing::SwaySession::kWidth, .height = testing::SwaySession::kHeight},
          recorder.delegate());
      if (!stream || !(*stream)->start()) return "the stream did not start";
      const auto frame = recorder.nextFrame();
      (*stream)->stop();
      if (!frame) return std::string(conversation) + ": no picture";
      const uint8_t* pixel = frame->image.at(40, 440);  // away from where a pointer may be
      if (uint32_t(pixel[2] << 16 | pixel[1] << 8 | pixel[0]) !=
          testing::SwaySession::kBackground) {
        return std::string(conversation) + ": not swaybg's colour";
      }
    }
    return "";
  });
  EXPECT_EQ(failure, "") << desktop.log();
}

}  // namespace
}  // namespace ferrowin::platform
