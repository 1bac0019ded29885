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
#include "tests/integration/host_process.h"
#include "tests/support/dummy_xorg.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

bool waitForLog(const HostProcess& host, const std::string& text, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (host.log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

/// A host capturing `display` over TCP, with a client paired to it.
class VirtualDisplaySession {
 public:
  explicit VirtualDisplaySession(const std::string& display) {
    EXPECT_TRUE(common::writeFileAtomically(config.path() / "settings.json",
                                            "{\"ferrowin.video.transport\":\"tcp\"}"));
    const std::string root = runClient(client("dev-ca init"));
    host = std::make_unique<HostProcess>(
        HostProcess::Options{data.path(),
                             config.path(),
                             root.substr(0, root.find('\n')),
                             {{"DISPLAY", display}},
                             0,
                             {"--capture", "x11", "--audio", "synthetic"}});
    started = host->start();
    if (!started) return;
    paired = runClient(client("pair --host 127.0.0.1 --port " + std::to_string(host->port()) +
                              " --code " + host->pairingCode()));
  }

  std::string client(const std::string& arguments) const {
    return "--state-dir " + state.path().string() + " " + arguments;
  }
  std::string stream(const std::string& arguments) const {
    return client("stream --host 127.0.0.1 --port " + std::to_string(host->port()) + " " +
                  arguments);
  }

  TempDir data, config, state;
  std::unique_ptr<HostProcess> host;
  bool started = false;
  std::string paired;
};

TEST(VirtualDisplayEndToEnd, ClientGetsAMonitorOfItsSizeAndKeepsStreamingAfterRelease) {
  if (!std::filesystem::exists(serverBinary()))
    GTEST_SKIP() << "ferrowin-server is not built at " << serverBinary();
  DummyXorg xorg;
  if (xorg.name().empty()) GTEST_SKIP() << "Xorg with the dummy driver: " << xorg.error();
  VirtualDisplaySession session(xorg.name());
  ASSERT_TRUE(session.started) << session.host->log();
  ASSERT_NE(session.paired.find("Paired with"), std::string::npos) << session.paired;

  auto streaming = std::async(std::launch::async, [&] {
    return runClient(
        session.stream("--seconds 16 --width 2532 --height 1170 --fps 10 --bitrate 3000 "
                       "--virtual-display extended"));
  });
  ASSERT_TRUE(waitForLog(*session.host, "Capture frame 2544x1170", 20)) << session.host->log();
  std::this_thread::sleep_for(std::chrono::seconds(5));  // frames of the virtual display arrive
  const std::string released = runClient(
      session.client("release --host 127.0.0.1 --port " + std::to_string(session.host->port())));
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
  if (!std::filesystem::exists(serverBinary()))
    GTEST_SKIP() << "ferrowin-server is not built at " << serverBinary();
  XvfbDisplay xvfb;
  if (xvfb.name().empty()) GTEST_SKIP() << xvfb.error();
  VirtualDisplaySession session(xvfb.name());
  ASSERT_TRUE(session.started) << session.host->log();

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
