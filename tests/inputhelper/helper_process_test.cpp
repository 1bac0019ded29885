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
#include "platform/linux/x11_test_client.h"
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

#if FERROWIN_HAVE_XVFB
TEST_F(HelperSessionTest, PointerKeysAndLookOnXvfb) {
  ferrowin::testing::XvfbDisplay xvfb;
  if (xvfb.name().empty()) GTEST_SKIP() << "no Xvfb: " << xvfb.error();
  auto window = platform::x11::X11TestClient::open(xvfb.name());
  ASSERT_TRUE(window);
  const std::vector<uint32_t> keymapBefore = window->keymap();
  auto env = environment();
  env["DISPLAY"] = xvfb.name();
  HelperProcess helper({"--port", std::to_string(port_), "--mouse-hid"}, env);
  ASSERT_TRUE(helper.waitForStderr("Input session running: "));
  ASSERT_TRUE(kernel_.waitForCreate(0));

  // Split across writes, as a pipe may deliver it.
  helper.writeStdin("{\"peers\":[\"127.0");
  helper.writeStdin(
      ".0.1\"]}\n{\"x\":100,\"y\":50,\"w\":1000,\"h\":600,\"activeWidth\":1920,"
      "\"activeHeight\":1080}\n");
  ASSERT_TRUE(helper.waitForStderr("geometry: updated"));
  // The end of standard input does not end the session.
  helper.closeStdin();
  ASSERT_TRUE(helper.waitForStderr("stdin: EOF\n"));
  // Absolute, no buttons: x = 0, y = 65535 → the bottom-left corner of the captured area.
  send(testing::datagram("SMGV", 2, {0, 0, 0, 0xFF, 0xFF, 0, 1, 0, 0, 0}));
  ::setenv("DISPLAY", xvfb.name().c_str(), 1);
  auto pointer = platform::makeX11PointerInjector();
  EXPECT_TRUE(testing::eventually([&] {
    auto at = pointer->cursorPosition();
    return at && at->x == 100 && at->y == 650;
  }));

  // Keys and text reach the focused window: Shift, a, a, Shift types "A".
  send(testing::keyDatagram(56, true, 1));
  send(testing::keyDatagram(0, true, 2));
  send(testing::keyDatagram(0, false, 3));
  send(testing::keyDatagram(56, false, 4));
  send(testing::textDatagram("h\xC3\xA9!", 1));
  std::vector<uint32_t> typed;  // Shift ×2, a ×2, h ×2, é ×2, Shift ×2, 1 ×2
  for (const auto& event : window->waitForKeys(12, 5.0)) {
    if (event.press && (event.keysym < 0xffe1 || event.keysym > 0xffee))
      typed.push_back(event.keysym);
  }
  EXPECT_EQ(typed, (std::vector<uint32_t>{'A', 'h', 0xe9, '!'}));
  send(testing::keyDatagram(10, true, 5));  // §, on no key of a US map: held at the end
  ASSERT_EQ(window->waitForKeys(13, 5.0).size(), 13u);
  EXPECT_EQ(window->keysDown().size(), 1u);

  send(testing::datagram("LMGV", 1, {0, 0x80, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));  // stick full up
  auto motion = kernel_.waitForInputs(0, 3);
  ASSERT_GE(motion.size(), 3u);
  EXPECT_LT(static_cast<int8_t>(motion.back()[2]), 0);  // Y moves up

  // The end of the session lets go of the held key and gives the borrowed keycode back.
  helper.signal(SIGTERM);
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_TRUE(kernel_.waitForDestroy(0));
  EXPECT_TRUE(window->keysDown().empty());
  EXPECT_EQ(window->keymap(), keymapBefore);
}
#endif
#endif

}  // namespace
}  // namespace ferrowin::inputhelper
