// The real program as the host runs it: command line, exit statuses, the preflight line, and a
// session over loopback UDP driven through standard input.
#include "tests/inputhelper/helper_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <asio/ip/udp.hpp>
#include <filesystem>

#include "inputhelper/arguments.h"
#include "tests/inputhelper/session_doubles.h"
#if FERROWIN_HAVE_HID
#include "tests/support/fake_uhid_kernel.h"
#endif
#if FERROWIN_HAVE_XVFB
#include "platform/input_injection.h"
#include "tests/inputhelper/xvfb_display.h"
#endif

namespace ferrowin::inputhelper {
namespace {

using asio::ip::udp;
using testing::HelperProcess;

// No device node and no test socket: virtual HID is unavailable.
const std::map<std::string, std::string> kNoUhid = {{"FERROWIN_UHID_SOCKET", "/nonexistent"}};

TEST(HelperProgram, UsageErrorsExitTwoWithTheirText) {
  {
    HelperProcess helper({});
    EXPECT_EQ(helper.waitForExit(), 2);
    EXPECT_EQ(helper.standardError(), "error: need --gamepad-hid and/or --mouse-hid\n");
    EXPECT_EQ(helper.standardOutput(), "");
  }
  for (auto args : std::vector<std::vector<std::string>>{
           {"--gamepad-hid", "--help"}, {"--port", "65536", "--gamepad-hid"}, {"--port"}}) {
    HelperProcess helper(args);
    EXPECT_EQ(helper.waitForExit(), 2);
    EXPECT_EQ(helper.standardError(), std::string(kUsageText));
  }
}

TEST(HelperProgram, PreflightPrintsOneJsonLine) {
  HelperProcess skip({"--preflight", "--skip-hid"});
  EXPECT_EQ(skip.waitForExit(), 0);
  EXPECT_EQ(skip.standardOutput(),
            "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":false}\n");

  HelperProcess probe({"--preflight"}, kNoUhid);
  EXPECT_EQ(probe.waitForExit(), 0);
  EXPECT_EQ(probe.standardOutput(),
            "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":false}\n");
  EXPECT_NE(probe.standardError().find("Virtual HID preflight failed: "), std::string::npos);
}

TEST(HelperProgram, SessionWithoutVirtualHIDExitsOne) {
  HelperProcess helper({"--port", std::to_string(testing::freeUdpPort()), "--gamepad-hid"},
                       kNoUhid);
  EXPECT_EQ(helper.waitForExit(), 1);
  EXPECT_NE(helper.standardError().find("GamepadServer failed to start: HID device failed: "),
            std::string::npos);
}

#if FERROWIN_HAVE_HID
using Bytes = std::vector<uint8_t>;

class HelperSessionTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> environment() const {
    return {{"FERROWIN_UHID_SOCKET", kernel_.path()}};
  }

  ferrowin::testing::FakeUhidKernel kernel_;
  uint16_t port_ = testing::freeUdpPort();
  asio::io_context context_;
  udp::socket client_{context_, udp::endpoint(udp::v4(), 0)};

  void send(const Bytes& datagram) {
    client_.send_to(asio::buffer(datagram), udp::endpoint(asio::ip::address_v4::loopback(), port_));
  }
};

TEST_F(HelperSessionTest, PreflightProbesTheVirtualGamepad) {
  HelperProcess helper({"--preflight"}, environment());
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_EQ(helper.standardOutput(),
            "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":true}\n");
  auto created = kernel_.waitForCreate(0);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->name, "Xbox Wireless Controller");
  EXPECT_TRUE(kernel_.waitForDestroy(0));
}

TEST_F(HelperSessionTest, GamepadAndLookOverUdpUntilSigterm) {
  HelperProcess helper(
      {"--port", std::to_string(port_), "--profile", "xbox", "--gamepad-hid", "--mouse-hid"},
      environment());
  ASSERT_TRUE(helper.waitForStderr("Input session running: "));
  auto pad = kernel_.waitForCreate(0);
  auto mouse = kernel_.waitForCreate(1);
  ASSERT_TRUE(pad && mouse);
  EXPECT_EQ(pad->name, "Xbox Wireless Controller");
  EXPECT_EQ(mouse->name, "Ferrowin Virtual Mouse");

  // Split across writes, as a pipe may deliver it.
  helper.writeStdin("{\"peers\":[\"127.0");
  helper.writeStdin(
      ".0.1\"]}\n{\"x\":100,\"y\":50,\"w\":1280,\"h\":720,\"activeWidth\":1280,"
      "\"activeHeight\":720}\n");
  ASSERT_TRUE(
      helper.waitForStderr("geometry: updated rect=(100.0,50.0 1280.0x720.0) active=1280x720\n"));

  const size_t before = kernel_.inputs(0).size();
  // Gamepad: A pressed (client bit 0 → button 1: report 1, byte 14 bit 0).
  send({0x50, 0x4D, 0x47, 0x56, 1, 0, 0, 0, 1, 0, 0, 0, 0x01, 0, 8, 0x80, 0x80, 0x80, 0x80, 0, 0});
  auto inputs = kernel_.waitForInputs(0, before + 1);
  ASSERT_GT(inputs.size(), before);
  const Bytes& report = inputs[before];
  ASSERT_EQ(report.size(), 17u);
  EXPECT_EQ(report[0], 1);
  EXPECT_EQ(report[14] & 1, 1);

  // Rumble from a game comes back as a datagram from the listening port.
  kernel_.sendOutput(0, ferrowin::testing::FakeUhidKernel::kOutputReport,
                     {3, 0x03, 0, 0, 100, 50, 20, 0, 0});
  Bytes rumble(64);
  udp::endpoint from;
  client_.non_blocking(false);
  ASSERT_TRUE(testing::eventually([&] { return client_.available() > 0; }));
  rumble.resize(client_.receive_from(asio::buffer(rumble), from));
  EXPECT_EQ(from.port(), port_);
  EXPECT_EQ(rumble,
            (Bytes{0x42, 0x52, 0x47, 0x56, 1, 0, 0, 0, 255, 127, 0, 0, 200, 0, 1, 0, 0, 0}));

  // The end of standard input does not end the session.
  helper.closeStdin();
  ASSERT_TRUE(helper.waitForStderr("stdin: EOF\n"));

  // Look stick full right: relative mouse reports moving right.
  send({0x4C, 0x4D, 0x47, 0x56, 1, 0, 255, 0x80, 0, 0, 0, 0, 0, 0, 0, 0});
  auto motion = kernel_.waitForInputs(1, 2);
  ASSERT_GE(motion.size(), 2u);
  EXPECT_GT(static_cast<int8_t>(motion.back()[1]), 0);

  helper.signal(SIGTERM);
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_TRUE(kernel_.waitForDestroy(0));
  EXPECT_TRUE(kernel_.waitForDestroy(1));
}
#if FERROWIN_HAVE_XVFB
TEST_F(HelperSessionTest, AbsolutePointerAndLookOnXvfb) {
  ferrowin::testing::XvfbDisplay xvfb;
  if (xvfb.name().empty()) GTEST_SKIP() << "no Xvfb: " << xvfb.error();
  auto env = environment();
  env["DISPLAY"] = xvfb.name();
  HelperProcess helper({"--port", std::to_string(port_), "--mouse-hid"}, env);
  ASSERT_TRUE(helper.waitForStderr("Input session running: "));
  ASSERT_TRUE(kernel_.waitForCreate(0));

  helper.writeStdin(
      "{\"peers\":[\"127.0.0.1\"]}\n{\"x\":100,\"y\":50,\"w\":1000,\"h\":600,"
      "\"activeWidth\":1920,\"activeHeight\":1080}\n");
  ASSERT_TRUE(helper.waitForStderr("geometry: updated"));
  // Absolute, no buttons: x = 0, y = 65535 → the bottom-left corner of the captured area.
  send({0x53, 0x4D, 0x47, 0x56, 2, 0, 0, 0, 0xFF, 0xFF, 0, 1, 0, 0, 0});
  ::setenv("DISPLAY", xvfb.name().c_str(), 1);
  auto pointer = platform::makeX11PointerInjector();
  EXPECT_TRUE(testing::eventually([&] {
    auto at = pointer->cursorPosition();
    return at && at->x == 100 && at->y == 650;
  }));

  send({0x4C, 0x4D, 0x47, 0x56, 1, 0, 0x80, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});  // stick full up
  auto motion = kernel_.waitForInputs(0, 3);
  ASSERT_GE(motion.size(), 3u);
  EXPECT_LT(static_cast<int8_t>(motion.back()[2]), 0);  // Y moves up

  helper.signal(SIGTERM);
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_TRUE(kernel_.waitForDestroy(0));
}
#endif
#endif

}  // namespace
}  // namespace ferrowin::inputhelper
