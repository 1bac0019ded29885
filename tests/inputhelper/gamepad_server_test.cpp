// The UDP input server over real loopback sockets, with recording devices behind it.
#include "inputhelper/gamepad_server.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "common/runtime/main_executor.h"
#include "tests/inputhelper/session_doubles.h"
#include "tests/support/log_capture.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::inputhelper {
namespace {

using asio::ip::udp;
using Bytes = std::vector<uint8_t>;
using ferrowin::testing::waitUntil;

Bytes gamepadDatagram(uint8_t sequence, uint16_t buttons) {
  return testing::datagram("PMGV", 1,
                           {0, 0, 0, sequence, 0, 0, 0,
                            static_cast<uint8_t>(buttons), static_cast<uint8_t>(buttons >> 8), 8,
                            0x80, 0x80, 0x80, 0x80, 0, 0});
}

bool haveIPv6Loopback() {
  asio::io_context context;
  udp::socket socket(context);
  std::error_code ec;
  socket.open(udp::v6(), ec);
  if (!ec) socket.bind(udp::endpoint(asio::ip::address_v6::loopback(), 0), ec);
  return !ec;
}

// A client socket on loopback: sends datagrams to the server, receives rumble.
class Client {
 public:
  explicit Client(uint16_t serverPort, bool v6 = false, const char* local = nullptr)
      : socket_(context_, local ? udp::endpoint(asio::ip::make_address(local), 0)
                                : udp::endpoint(v6 ? udp::v6() : udp::v4(), 0)),
        server_(v6 ? asio::ip::address(asio::ip::address_v6::loopback())
                   : asio::ip::address(asio::ip::address_v4::loopback()),
                serverPort) {}
  void send(const Bytes& datagram) { socket_.send_to(asio::buffer(datagram), server_); }
  /// One datagram and where it came from, or nothing within `seconds`.
  std::optional<std::pair<Bytes, udp::endpoint>> receive(double seconds = 2.0) {
    Bytes buffer(64);
    udp::endpoint from;
    size_t n = 0;
    socket_.non_blocking(true);
    if (!waitUntil(seconds, [&] {
          std::error_code ec;
          n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
          return !ec;
        }))
      return std::nullopt;
    buffer.resize(n);
    return std::make_pair(buffer, from);
  }

 private:
  asio::io_context context_;
  udp::socket socket_;
  udp::endpoint server_;
};

class GamepadServerTest : public ::testing::Test {
 protected:
  template <class F>
  auto onMain(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    main_.post([&task] { task(); });
    return result.get();
  }

  GamepadServerTest() {
    mainThread_ = std::thread([this] { main_.run(); });
    onMain([this] {
      server_ = std::make_shared<GamepadServer>(
          main_.context(), main_.timers(), common::SteadyClock::instance(), allowlist_, gamepads_);
      server_->setPort(port_);
      server_->setTimeoutMs(0);  // the failsafe is the applier's (applier_test)
      server_->setMouseInjector(mouse_);
      server_->setKeyboardInjector(keyboard_);
    });
  }
  ~GamepadServerTest() override {
    onMain([this] {
      server_->stop();
      server_.reset();
    });
    main_.stop();
    mainThread_.join();
  }

  bool start(common::DeviceProfile profile, bool gamepadHID, bool mouseHID) {
    return onMain([&] {
      server_->start(profile, gamepadHID, mouseHID);
      return server_->isRunning.get();
    });
  }
  std::string status() {
    return onMain([&] { return server_->statusMessage.get(); });
  }
  common::MainExecutor main_;
  std::thread mainThread_;
  PeerAllowlist allowlist_;
  uint16_t port_ = testing::freeUdpPort();
  std::shared_ptr<testing::FakeGamepadFactory> gamepads_ =
      std::make_shared<testing::FakeGamepadFactory>();
  std::shared_ptr<testing::RecordingMouse> mouse_ = std::make_shared<testing::RecordingMouse>();
  std::shared_ptr<testing::RecordingKeyboard> keyboard_ =
      std::make_shared<testing::RecordingKeyboard>();
  std::shared_ptr<GamepadServer> server_;
};

TEST_F(GamepadServerTest, StatusTextsSteamSupportLookTuningAndStartFailures) {
  ferrowin::testing::LogCapture logs;
  ASSERT_TRUE(start(common::DeviceProfile::xbox, true, true));
  const std::string listening =
      "Listening on UDP port " + std::to_string(port_) + " (gamepad xbox + remap mouse)";
  EXPECT_TRUE(waitUntil(5, [&] { return status() == listening; }));
  EXPECT_EQ(mouse_->calls.get(), (std::vector<std::string>{"releaseAll", "teardown", "prepare"}));
  onMain([&] {
    server_->applySteamSupport(false);
    server_->applySteamSupport(false);
    server_->applySteamSupport(true);
    server_->setLookTuning(
        {1.5, 0.25, 0.125, common::LookStickCurve::wide, common::LookRampCurve::cubic, 0.5});
  });
  EXPECT_EQ(gamepads_->last()->steamOffs, 1);
  EXPECT_EQ(gamepads_->usbReports.get(), (std::vector<bool>{true, false, false, true}));
  EXPECT_TRUE(logs.contains(
      "Look tuning sensitivity=1.50 accel=0.25 dz=0.125 curve=wide ramp=cubic vScale=0.50"));

  onMain([&] { server_->stop(); });
  EXPECT_EQ(status(), "Idle");
  EXPECT_TRUE(gamepads_->last()->cancelled);
  EXPECT_EQ(keyboard_->releases, 2);  // the stop before the start, and this one

  ASSERT_TRUE(start(common::DeviceProfile::generic, false, true));
  EXPECT_TRUE(waitUntil(5, [&] {
    return status() == "Listening on UDP port " + std::to_string(port_) + " (remap mouse)";
  }));

  // Start failures leave the reason and no device.
  asio::io_context context;
  udp::socket taken(context, udp::endpoint(udp::v6(), 0));  // no SO_REUSEADDR: exclusive
  const auto failsWith = [&](const std::string& text) {
    EXPECT_FALSE(start(common::DeviceProfile::xbox, true, true));
    EXPECT_EQ(status(), text);
    for (const auto& pad : gamepads_->created.get()) EXPECT_TRUE(pad->cancelled) << text;
  };
  gamepads_->failure = "no uhid";
  failsWith("HID device failed: no uhid");
  gamepads_->failure = "";
  mouse_->prepareFailure = "mouse says no";
  failsWith("HID mouse failed: mouse says no");
  mouse_->prepareFailure = "";
  onMain([&] { server_->setPort(0); });
  failsWith("Invalid port");
  onMain([&] { server_->setPort(taken.local_endpoint().port()); });
  failsWith("Listen failed: Address already in use");
}

TEST_F(GamepadServerTest, OnlyAllowlistedClientsAreHeardAndMalformedDatagramsDropped) {
  allowlist_.replace({"127.0.0.2"});
  ASSERT_TRUE(start(common::DeviceProfile::xbox, true, false));
  auto pad = gamepads_->last();
  Client refused(port_, false, "127.0.0.1");
  Client other(port_, false, "127.0.0.2");
  refused.send(gamepadDatagram(1, 1));
  refused.send(testing::keyDatagram(4, true, 1));
  other.send(gamepadDatagram(2, 2));  // arrives after the refused ones: they have been dropped
  ASSERT_TRUE(waitUntil(5, [&] { return pad->sink->reports.get().size() == 1; }));

  allowlist_.replace({"127.0.0.1"});
  refused.send(gamepadDatagram(3, 3));  // the same address and port is tested again
  ASSERT_TRUE(waitUntil(5, [&] { return pad->sink->reports.get().size() == 2; }));

  allowlist_.replace({});  // admitted clients stay admitted; new ones are refused
  Client late(port_, false, "127.0.0.1");
  late.send(gamepadDatagram(4, 4));
  Bytes tooLong = gamepadDatagram(5, 7);
  tooLong.push_back(0);
  refused.send(tooLong);
  refused.send(gamepadDatagram(100, 5));
  refused.send(gamepadDatagram(99, 6));  // late
  refused.send(testing::keyDatagram(56, true, 1));
  refused.send(testing::datagram("SMGV", 2, {1, 0x10, 0, 0x20, 0, 0, 1, 0, 0, 0}));
  refused.send(testing::textDatagram("", 2));
  refused.send(testing::textDatagram("h\xC3\xA9", 1));
  // No remapper without mouse HID: the look stick is ignored.
  refused.send(testing::datagram("LMGV", 1, {0, 255, 0x80, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(waitUntil(5, [&] { return !keyboard_->texts.get().empty(); }));
  std::vector<uint16_t> buttons;
  for (const auto& report : pad->sink->reports.get()) buttons.push_back(report.buttons);
  EXPECT_EQ(buttons, (std::vector<uint16_t>{2, 3, 5}));
  EXPECT_EQ(keyboard_->keyCodes.get(), (std::vector<uint16_t>{56}));
  EXPECT_EQ(keyboard_->texts.get(), (std::vector<std::string>{"h\xC3\xA9"}));
  ASSERT_EQ(mouse_->packets.get().size(), 1u);
  EXPECT_EQ(mouse_->packets.get()[0].x, 0x10);
  EXPECT_TRUE(mouse_->motions.get().empty());
}

TEST_F(GamepadServerTest, RumbleGoesFromTheListeningPortToTheSixteenClientPortsHeardFromLast) {
  // A flood from ever new ports of the client's address must not grow the client list.
  allowlist_.replace({"127.0.0.1", "::1"});
  ASSERT_TRUE(start(common::DeviceProfile::xbox, true, false));
  auto pad = gamepads_->last();
  const bool v6 = haveIPv6Loopback();
  std::vector<std::unique_ptr<Client>> clients;
  for (uint8_t i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<Client>(port_, v6 && i == 19));  // the last one on IPv6
    clients.back()->send(gamepadDatagram(i + 1, 1));
  }
  // Client 5 is heard again, then client 0 comes back: 1 to 4 are the ones heard from longest ago.
  clients[5]->send(gamepadDatagram(21, 1));
  clients[0]->send(gamepadDatagram(22, 1));
  ASSERT_TRUE(waitUntil(5, [&] { return pad->sink->reports.get().size() == 22u; }));

  pad->rumble({255, 127, 0, 0, 200});
  pad->rumble({0, 0, 0, 0, 0});
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(i);
    const bool dropped = i >= 1 && i <= 4;
    auto one = clients[i]->receive(dropped ? 0.3 : 2.0);
    ASSERT_EQ(one.has_value(), !dropped);
    if (dropped) continue;
    auto two = clients[i]->receive();
    ASSERT_TRUE(two);
    EXPECT_EQ(one->second.port(), port_);
    EXPECT_EQ(one->first,
              (Bytes{0x42, 0x52, 0x47, 0x56, 1, 0, 0, 0, 255, 127, 0, 0, 200, 0, 1, 0, 0, 0}));
    EXPECT_EQ(two->first[14], 2);
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
