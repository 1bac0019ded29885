// A client that asks for a display of its own, end to end: the real host captures an X server
// and ferrowin-client streams with --virtual-display. On Xorg with the dummy driver the client
// gets a monitor of exactly its size, right of the real one, and keeps streaming from the real
// display after `ferrowin-client release`; on Xvfb the host says virtual displays are missing
// and streams the real display.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "common/util/files.h"
#include "tests/inputhelper/xvfb_display.h"
#include "tests/integration/paired_host.h"
#include "tests/support/dummy_xorg.h"

namespace ferrowin::testing {
namespace {

/// Starts a host capturing `display` over TCP, with a client paired to it.
void startOn(PairedHost& session, const std::string& display) {
  ASSERT_TRUE(common::writeFileAtomically(session.config / "settings.json",
                                          "{\"ferrowin.video.transport\":\"tcp\"}"));
  session.start({{"DISPLAY", display}}, {"--capture", "x11", "--audio", "synthetic"});
}

TEST(VirtualDisplayEndToEnd, ClientGetsAMonitorOfItsSizeAndKeepsStreamingAfterRelease) {
  DummyXorg xorg;
  if (xorg.name().empty()) GTEST_SKIP() << "Xorg with the dummy driver: " << xorg.error();
  PairedHost session;
  ASSERT_NO_FATAL_FAILURE(startOn(session, xorg.name()));

  auto streaming = std::async(std::launch::async, [&] {
    return runClient(
        session.stream("--seconds 16 --width 2532 --height 1170 --fps 10 --bitrate 3000 "
                       "--virtual-display extended"));
  });
  ASSERT_TRUE(session.host->logShows("Capture frame 2544x1170")) << session.host->log();
  std::this_thread::sleep_for(std::chrono::seconds(5));  // frames of the virtual display arrive
  const std::string released = runClient(
      session.cli("release --host 127.0.0.1 --port " + std::to_string(session.host->port())));
  EXPECT_NE(released.find("Session released"), std::string::npos) << released;
  const std::string output = streaming.get();
  const std::string log = session.host->log();

  // The monitor was right of the real one, at the client's size.
  const std::regex placed(R"(Virtual display (\d+) on (DUMMY\d+): 2532x1170)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match, placed)) << log;
  EXPECT_NE(log.find("Virtual display " + match[1].str() + " ready"), std::string::npos);
  EXPECT_NE(log.find("Virtual display " + match[1].str() + " removed"), std::string::npos) << log;
  // Decoded at the virtual display's size first (the width padded to 16 with black, as for every
  // source), then at the real display's, without an error.
  EXPECT_NE(log.find("Capture width 2532 placed in 2544x1170"), std::string::npos) << log;
  const auto big = output.find("size 2544x1170 (asked for 2532x1170)");
  const auto real = output.find("size 1280x720 (asked for 2532x1170)");
  EXPECT_NE(big, std::string::npos) << output;
  EXPECT_NE(real, std::string::npos) << output;
  EXPECT_LT(big, real) << output;
  EXPECT_EQ(output.find("ferrowin-client:"), std::string::npos) << output;
  EXPECT_NE(output.find("total decoded="), std::string::npos) << output;
  EXPECT_EQ(log.find("Capture stopped"), std::string::npos) << log;
}

TEST(VirtualDisplayEndToEnd, OnXvfbTheHostSaysItIsMissingAndStreamsTheRealDisplay) {
  XvfbDisplay xvfb;
  if (xvfb.name().empty()) GTEST_SKIP() << xvfb.error();
  PairedHost session;
  ASSERT_NO_FATAL_FAILURE(startOn(session, xvfb.name()));

  const std::string output = runClient(session.stream(
      "--seconds 3 --width 640 --height 360 --fps 30 --bitrate 1000 --virtual-display main"));
  EXPECT_NE(output.find("total decoded="), std::string::npos) << output;
  EXPECT_EQ(output.find("ferrowin-client:"), std::string::npos) << output;
  EXPECT_NE(session.host->log().find(
                "Virtual display failed: RandR virtual outputs are missing from this X server (no "
                "spare output with a free CRTC)."),
            std::string::npos)
      << session.host->log();
}

}  // namespace
}  // namespace ferrowin::testing
