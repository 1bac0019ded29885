// The manager with the real FerrowinInputHelper as its child. Virtual HID goes to a fake kernel
// on a socket, so sessions with either HID flag start as they would on a machine with /dev/uhid.
#include "server/inputhelper/input_helper_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <asio/co_spawn.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <fstream>

#include "platform/fake/fake_host_info.h"
#include "server/inputhelper/frontmost.h"
#include "tests/inputhelper_manager/manager_fixture.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::inputhelper {
namespace {

using common::DeviceProfile;
using testing::countContaining;

class InputHelperProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("FERROWIN_UHID_SOCKET", kernel_.path().c_str(), 1);
    ::unsetenv("DISPLAY");  // keep the helper's key and pointer injection off any real screen
    manager_ = makeManager(testing::privateHelper().path);
  }

  void TearDown() override {
    loop_.run(manager_->stop());
    ::unsetenv("FERROWIN_UHID_SOCKET");
  }

  std::shared_ptr<InputHelperProcess> makeManager(std::filesystem::path helper) {
    const auto& name = testing::privateHelper().name;
    auto manager = InputHelperProcess::create({.main = loop_.context,
                                               .timers = loop_.timers,
                                               .hostInfo = host_,
                                               .helperPath = std::move(helper),
                                               .staleHelperNames = {name, name + "-dev"}});
    manager->port = port_;
    return manager;
  }

  void ensure(DeviceProfile profile, bool gamepadHID, bool mouseHID) {
    ASSERT_TRUE(loop_.run(manager_->ensureSession(profile, gamepadHID, mouseHID)));
  }

  /// Waits until the running helper has said its session is up (it reads stdin from then on).
  bool helperSays(const std::string& text, double seconds = 10.0) {
    return loop_.pumpUntil(
        [&] { return countContaining(log_, "helper: ") && countContaining(log_, text) > 0; },
        seconds);
  }

  ferrowin::testing::LogCapture log_;
  ferrowin::testing::FakeUhidKernel kernel_;
  testing::MainLoop loop_;
  std::shared_ptr<platform::FakeHostInfo> host_ = std::make_shared<platform::FakeHostInfo>();
  uint16_t port_ = testing::freeUdpPort();
  std::shared_ptr<InputHelperProcess> manager_;
};

// The client leaving a session respawns the helper with the gamepad alone, a gamepad session
// outlives its client, and the helper's arguments for both devices: all run end to end in the
// integration tests.
TEST_F(InputHelperProcessTest, ReleasingTheGamepadRespawnsWithTheRemainingDeviceOrEnds) {
  ensure(DeviceProfile::xbox, true, true);
  ASSERT_TRUE(manager_->isRunning.get());
  EXPECT_EQ(manager_->statusMessage.get(), "Input Helper (KBM Remap)");
  const int both = manager_->helperPid();
  ASSERT_TRUE(helperSays("Input session running"));

  ASSERT_TRUE(loop_.run(manager_->releaseGamepad()));
  const int mouseOnly = manager_->helperPid();
  EXPECT_FALSE(testing::processExists(both));
  EXPECT_EQ(testing::commandLine(mouseOnly),
            (std::vector<std::string>{testing::privateHelper().path.string(), "--port",
                                      std::to_string(port_), "--profile", "xbox", "--timeout-ms",
                                      "1000", "--mouse-hid"}));
  EXPECT_EQ(countContaining(log_, "Stopping input helper pid=" + std::to_string(both)), 1u);

  ensure(DeviceProfile::generic, true, false);
  EXPECT_EQ(manager_->statusMessage.get(), "Input Helper (Native Gamepad)");
  EXPECT_EQ(manager_->activeProfile.get(), DeviceProfile::generic);
  ASSERT_TRUE(loop_.run(manager_->releaseGamepad()));
  EXPECT_FALSE(manager_->isRunning.get());
  EXPECT_EQ(manager_->statusMessage.get(), "Idle");
  EXPECT_EQ(manager_->activeProfile.get(), std::nullopt);
  EXPECT_TRUE(testing::processesRunning(testing::privateHelper().path).empty());

  // Nothing running: both are no-ops.
  ASSERT_TRUE(loop_.run(manager_->releaseGamepad()));
  ASSERT_TRUE(loop_.run(manager_->endSession()));
  EXPECT_EQ(manager_->helperPid(), -1);
}

TEST_F(InputHelperProcessTest, QuickRequestsLeaveOneChildAndAStuckOneIsKilled) {
  auto first = std::make_shared<bool>(false);
  auto second = std::make_shared<bool>(false);
  auto flow = [](std::shared_ptr<InputHelperProcess> manager, DeviceProfile profile,
                 std::shared_ptr<bool> done) -> asio::awaitable<void> {
    co_await manager->ensureSession(profile, true, false);
    *done = true;
  };
  asio::co_spawn(loop_.context, flow(manager_, DeviceProfile::generic, first), asio::detached);
  asio::co_spawn(loop_.context, flow(manager_, DeviceProfile::xbox, second), asio::detached);
  ASSERT_TRUE(loop_.pumpUntil([&] { return *first && *second; }));

  EXPECT_EQ(countContaining(log_, "Aborting superseded helper spawn"), 1u);
  EXPECT_EQ(countContaining(log_, "Spawned "), 1u);
  EXPECT_EQ(manager_->activeProfile.get(), DeviceProfile::xbox);
  ASSERT_TRUE(helperSays("Input session running"));
  EXPECT_EQ(testing::processesRunning(testing::privateHelper().path),
            std::vector<pid_t>{manager_->helperPid()});

  // That one ignores SIGTERM: it is killed after two seconds.
  const int pid = manager_->helperPid();
  ::kill(pid, SIGSTOP);  // a stopped process leaves SIGTERM pending; SIGKILL still ends it
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(loop_.run(manager_->stop()));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
  EXPECT_TRUE(log_.contains("Helper pid=" + std::to_string(pid) +
                            " did not exit after SIGTERM; sending SIGKILL"));
  EXPECT_TRUE(log_.contains("Input helper exited status=9"));
  EXPECT_FALSE(testing::processExists(pid));
  EXPECT_EQ(manager_->statusMessage.get(), "Idle");
}

TEST_F(InputHelperProcessTest, AHelperThatExitsByItselfOrIsKilledLeavesIdleUntilTheNextSession) {
  // Someone else holds the port: the helper cannot listen and exits 1.
  asio::io_context context;
  auto squatter = std::make_unique<asio::ip::udp::socket>(
      context, asio::ip::udp::endpoint(asio::ip::address_v6::any(), port_));
  ensure(DeviceProfile::xbox, true, false);
  ASSERT_TRUE(loop_.pumpUntil([&] { return !manager_->isRunning.get(); }));
  EXPECT_TRUE(log_.contains("Input helper exited status=1"));
  loop_.pumpFor(0.2);  // it is not restarted behind anyone's back
  EXPECT_EQ(countContaining(log_, "Spawned "), 1u);

  // The next request starts a new one; killed mid-session, that one is noticed the same way.
  squatter.reset();
  ensure(DeviceProfile::generic, true, false);
  ASSERT_TRUE(helperSays("Input session running"));
  const pid_t killed = manager_->helperPid();
  ASSERT_EQ(::kill(killed, SIGKILL), 0);
  ASSERT_TRUE(loop_.pumpUntil([&] { return !manager_->isRunning.get(); }));
  EXPECT_EQ(manager_->statusMessage.get(), "Idle");
  EXPECT_EQ(manager_->activeProfile.get(), std::nullopt);
  EXPECT_TRUE(log_.contains("Input helper exited status=9"));
  ensure(DeviceProfile::xbox, true, false);
  EXPECT_TRUE(manager_->isRunning.get());
  EXPECT_NE(manager_->helperPid(), killed);
  EXPECT_EQ(countContaining(log_, "Spawned "), 3u);
}

// Which front application counts as Steam, the watcher that reports changes of it, and the
// helper's Steam support following it.
platform::FrontmostApplication app(std::optional<std::string> windowClass,
                                   std::optional<std::string> executable) {
  return {std::move(windowClass), std::move(executable), {}};
}

TEST(FrontmostBundleIdentifier, SteamClientWindowsAreSteamsHelper) {
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/home/u/.steam/ubuntu12_32/steam")),
            kSteamHelperBundleID);
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/x/ubuntu12_64/steamwebhelper")),
            kSteamHelperBundleID);
  EXPECT_EQ(frontmostBundleIdentifier(app("Steam", "/usr/lib/steam/bin")), kSteamHelperBundleID);
  // A game started from Steam is not the Steam client.
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/games/steamapps/common/Portal/hl2")),
            "hl2");
  EXPECT_EQ(frontmostBundleIdentifier(app("firefox", "/usr/lib/firefox/firefox-bin")), "firefox");
  EXPECT_EQ(frontmostBundleIdentifier(std::nullopt), std::nullopt);
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, std::nullopt)), std::nullopt);
}

TEST(FrontmostWatcher, ReportsEachChangeOnce) {
  common::ManualClock clock;
  auto host = std::make_shared<platform::FakeHostInfo>();
  host->frontmost = app(std::nullopt, "/usr/bin/steam");
  std::vector<std::optional<std::string>> changes;
  FrontmostWatcher watcher(host, clock, clock,
                           [&](const std::optional<std::string>& id) { changes.push_back(id); });
  EXPECT_EQ(watcher.current(), kSteamHelperBundleID);
  watcher.start(watcher.current());
  clock.advance(1.0);
  EXPECT_TRUE(changes.empty());

  host->frontmost = app("firefox", "/usr/lib/firefox/firefox");
  clock.advance(1.0);
  host->frontmost.reset();
  clock.advance(1.0);
  clock.advance(1.0);
  EXPECT_EQ(changes, (std::vector<std::optional<std::string>>{"firefox", std::nullopt}));

  watcher.stop();
  host->frontmost = app(std::nullopt, "/usr/bin/steam");
  clock.advance(5.0);
  EXPECT_EQ(changes.size(), 2u);
}

TEST_F(InputHelperProcessTest, SteamSupportFollowsTheFrontApplication) {
  host_->frontmost =
      platform::FrontmostApplication{std::nullopt, "/opt/steam/ubuntu12_32/steam", {}};
  manager_ = makeManager(testing::privateHelper().path);
  ensure(DeviceProfile::xbox, true, false);
  EXPECT_TRUE(helperSays("helper: steam support: on"));
  EXPECT_TRUE(log_.contains(
      "Pushed steam support true (client true, frontmost com.valvesoftware.steam.helper)"));

  manager_->frontmostApplicationChanged("firefox");
  EXPECT_TRUE(helperSays("helper: steam support: off"));
  EXPECT_TRUE(log_.contains("Pushed steam support false (client true, frontmost firefox)"));

  // The client turning it off wins over Steam being in front.
  manager_->frontmostApplicationChanged(kSteamHelperBundleID);
  EXPECT_TRUE(helperSays("helper: steam support: on"));
  manager_->setClientSteamSupport(false);
  manager_->pushSteamSupport(true);
  EXPECT_TRUE(loop_.pumpUntil([&] {
    return log_.contains(
        "Pushed steam support false (client false, frontmost com.valvesoftware.steam.helper)");
  }));
}

class PreflightTest : public InputHelperProcessTest {
 protected:
  std::optional<InputHelperPreflightResult> preflight(bool prompt, bool skipHID) {
    std::optional<InputHelperPreflightResult> result;
    EXPECT_TRUE(loop_.run([](auto manager, bool p, bool s, auto& out) -> asio::awaitable<void> {
      out = co_await manager->preflight(p, s);
    }(manager_, prompt, skipHID, result)));
    return result;
  }

  /// A stand-in helper: a shell script with `body`.
  void useScript(const std::string& body) {
    const auto path = dir_ / "FerrowinInputHelper";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    manager_ = makeManager(path);
  }

  ferrowin::testing::TempDir dir_;
};

// A missing helper, then stand-ins that answer, stay silent, print garbage or hang.
TEST_F(PreflightTest, MissingHelperSilenceGarbageAndSlownessGiveNone) {
  manager_ = makeManager("/nonexistent/FerrowinInputHelper");
  ensure(DeviceProfile::xbox, true, false);
  EXPECT_EQ(manager_->statusMessage.get(), "Input helper missing");
  EXPECT_FALSE(manager_->isRunning.get());
  EXPECT_TRUE(log_.contains("FerrowinInputHelper not found in app bundle"));
  EXPECT_EQ(preflight(false, false), std::nullopt);
  EXPECT_TRUE(log_.contains("Preflight: FerrowinInputHelper not found in app bundle"));

  // Arguments arrive as the helper expects them.
  useScript(
      "[ \"$*\" = '--preflight --prompt-accessibility --skip-hid' ] && "
      "echo '{\"accessibilityTrusted\":true,\"virtualHIDAvailable\":false}'");
  EXPECT_EQ(preflight(true, true), (InputHelperPreflightResult{true, false}));

  const std::pair<const char*, const char*> failures[] = {
      {"exit 0", "Preflight produced no stdout"},
      {"echo 'not json'", "Preflight JSON decode failed: not JSON raw=not json\n"},
      {"printf '\\377\\n'", "Preflight JSON decode failed: not JSON raw=<binary>"},
      {"exec sleep 30", "Preflight timed out; terminating helper"},
  };
  for (const auto& [script, logged] : failures) {
    useScript(script);
    EXPECT_EQ(preflight(false, false), std::nullopt) << script;
    EXPECT_TRUE(log_.contains(logged)) << script;
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
