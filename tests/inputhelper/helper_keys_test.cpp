// The real FerrowinInputHelper typing into a window on a private Xvfb: key and text datagrams
// over loopback UDP, held keys let go and the keymap given back when the session ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <asio/ip/udp.hpp>

#include "platform/linux/x11_test_client.h"
#include "tests/inputhelper/helper_process.h"
#include "tests/inputhelper/session_doubles.h"
#include "tests/inputhelper/xvfb_display.h"
#include "tests/support/fake_uhid_kernel.h"

namespace ferrowin::inputhelper {
namespace {

using asio::ip::udp;
using Bytes = std::vector<uint8_t>;

Bytes keyDatagram(uint16_t keyCode, bool down, uint32_t sequence) {
  return {0x59,
          0x4B,
          0x47,
          0x56,
          1,
          static_cast<uint8_t>(down ? 1 : 0),
          static_cast<uint8_t>(keyCode),
          static_cast<uint8_t>(keyCode >> 8),
          static_cast<uint8_t>(sequence),
          static_cast<uint8_t>(sequence >> 8),
          static_cast<uint8_t>(sequence >> 16),
          static_cast<uint8_t>(sequence >> 24)};
}

Bytes textDatagram(const std::string& text, uint32_t sequence) {
  Bytes datagram(12 + text.size());
  const uint8_t header[] = {0x43,
                            0x55,
                            0x47,
                            0x56,
                            1,
                            0,
                            static_cast<uint8_t>(text.size()),
                            static_cast<uint8_t>(text.size() >> 8),
                            static_cast<uint8_t>(sequence),
                            static_cast<uint8_t>(sequence >> 8),
                            static_cast<uint8_t>(sequence >> 16),
                            static_cast<uint8_t>(sequence >> 24)};
  std::copy(std::begin(header), std::end(header), datagram.begin());
  std::copy(text.begin(), text.end(), datagram.begin() + 12);
  return datagram;
}

TEST(HelperKeyboard, KeysAndTextFromDatagramsReachTheFocusedWindow) {
  ferrowin::testing::XvfbDisplay xvfb;
  if (xvfb.name().empty()) GTEST_SKIP() << "no X server: " << xvfb.error();
  auto window = platform::x11::X11TestClient::open(xvfb.name());
  ASSERT_TRUE(window);
  const std::vector<uint32_t> keymapBefore = window->keymap();

  ferrowin::testing::FakeUhidKernel kernel;
  const uint16_t port = testing::freeUdpPort();
  testing::HelperProcess helper(
      {"--port", std::to_string(port), "--mouse-hid"},
      {{"FERROWIN_UHID_SOCKET", kernel.path()}, {"DISPLAY", xvfb.name()}});
  ASSERT_TRUE(helper.waitForStderr("Input session running: ")) << helper.standardError();
  helper.writeStdin(
      "{\"peers\":[\"127.0.0.1\"]}\n{\"x\":0,\"y\":0,\"w\":1280,\"h\":720,\"activeWidth\":1280,"
      "\"activeHeight\":720}\n");
  ASSERT_TRUE(helper.waitForStderr("geometry: updated"));

  asio::io_context context;
  udp::socket client(context, udp::endpoint(udp::v4(), 0));
  auto send = [&](const Bytes& datagram) {
    client.send_to(asio::buffer(datagram), udp::endpoint(asio::ip::address_v4::loopback(), port));
  };
  send(keyDatagram(56, true, 1));  // Shift, a, a, Shift: "A"
  send(keyDatagram(0, true, 2));
  send(keyDatagram(0, false, 3));
  send(keyDatagram(56, false, 4));
  send(textDatagram("h\xC3\xA9!", 1));
  // Shift ×2, a ×2, h ×2, é ×2, Shift ×2, 1 ×2.
  auto events = window->waitForKeys(12, 5.0);
  std::vector<uint32_t> typed;
  for (const auto& event : events) {
    if (event.press && (event.keysym < 0xffe1 || event.keysym > 0xffee))
      typed.push_back(event.keysym);
  }
  EXPECT_EQ(typed, (std::vector<uint32_t>{'A', 'h', 0xe9, '!'}));

  // A key still held when the session ends is let go; the borrowed keycode is given back.
  send(keyDatagram(10, true, 5));  // §, on no key of a US map
  ASSERT_EQ(window->waitForKeys(13, 5.0).size(), 13u);
  EXPECT_EQ(window->keysDown().size(), 1u);
  helper.signal(SIGTERM);
  EXPECT_EQ(helper.waitForExit(), 0);
  EXPECT_TRUE(window->keysDown().empty());
  EXPECT_EQ(window->keymap(), keymapBefore);
}

}  // namespace
}  // namespace ferrowin::inputhelper
