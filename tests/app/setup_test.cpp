// Setup: the Linux checks against real X servers, the permission monitor's flows with the real
// helper (its virtual gamepad on the UHID test socket), the onboarding presenter holding and
// resuming the real services, and `ferrowin-server --check`.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "platform/linux/portal_capture.h"
#include "platform/linux/setup_checks_linux.h"
#include "server/app/host_services.h"
#include "server/app/setup_rows.h"
#include "tests/app/setup_test_support.h"
#include "tests/support/fake_screencast_portal.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"
#include "tests/support/x_server.h"

namespace ferrowin::app {
namespace {

using testing::MainThread;
using testing::waitUntil;

std::string portalMissing() {
  const std::string missing = testing::PipeWireServer::missing();
  return missing.empty() ? testing::FakeScreenCastPortal::missing() : missing;
}

TEST(SetupRows, TextsFollowTheState) {
  PermissionState state;
  EXPECT_EQ(virtualGamepadText(state), "Checked after Accessibility is enabled.");
  state.accessibilityTrusted = true;
  EXPECT_EQ(virtualGamepadText(state), "Checking whether Ferrowin can create a virtual gamepad…");
  state.virtualHIDAvailable = false;
  EXPECT_NE(virtualGamepadText(state).find("70-ferrowin-uhid.rules"), std::string::npos);
  state.helperMissing = true;
  EXPECT_NE(virtualGamepadText(state).find("missing"), std::string::npos);
  state.airDropEveryone = true;
  state.powerSavingInterface = "wlp2s0";
  EXPECT_EQ(wifiText(state),
            "Wi‑Fi power saving is on for wlp2s0, this adds latency spikes to Wi‑Fi. Turn it off.");
  // Wi-Fi power saving warns but never keeps setup from finishing.
  state = {.screenRecordingGranted = true,
           .airDropEveryone = true,
           .powerSavingInterface = "wlp2s0",
           .accessibilityTrusted = true,
           .virtualHIDAvailable = true};
  EXPECT_TRUE(state.canFinish());
}

class SetupFlowTest : public ::testing::Test {
 protected:
  ~SetupFlowTest() override {
    thread.onMain([&] {
      services.reset();
      monitor.reset();
    });
    ::unsetenv("FERROWIN_UHID_SOCKET");
  }

  /// The real helper's HID probe runs against the fake kernel, or against nothing.
  void useUhid(bool available) {
    ::setenv("FERROWIN_UHID_SOCKET",
             available ? kernel.path().c_str() : (dir / "no-uhid").c_str(), 1);
  }

  std::shared_ptr<HostPermissionMonitor> makeMonitor(std::optional<std::filesystem::path> helper) {
    return thread.onMain([&] {
      auto made = HostPermissionMonitor::create({.main = thread.main.context(),
                                                 .timers = thread.main.timers(),
                                                 .settings = &settings,
                                                 .checks = checks,
                                                 .bonjour = bonjour});
      if (helper) {
        helperProcess = inputhelper::InputHelperProcess::create(
            {.main = thread.main.context(), .timers = thread.main.timers(), .helperPath = helper});
        made->setInputHelper(helperProcess);
      }
      made->refresh();
      return made;
    });
  }

  /// The services over `setupChecks`, with the setup window.
  std::shared_ptr<HostServices> makeServices(std::shared_ptr<platform::SetupChecks> setupChecks) {
    return thread.onMain([&] {
      auto made = HostServices::create({.main = &thread.main,
                                        .settings = &settings,
                                        .dataDirectory = dir / "data",
                                        .controlPort = 0,
                                        .bonjour = bonjour,
                                        .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                        .inputHelperPath = helperPath,
                                        .setupChecks = setupChecks,
                                        .interactiveSetup = true});
      made->onboarding->setWindow(window);
      return made;
    });
  }

  bool settledProbe(HostPermissionMonitor& m) {
    return waitUntil(10, [&] { return thread.onMain([&] { return !m.probing(); }); });
  }

  testing::TempDir dir;
  common::SettingsStore settings{dir / "config"};
  testing::FakeUhidKernel kernel;
  std::filesystem::path helperPath = testing::privateHelperCopy(dir, "setup");
  std::shared_ptr<platform::FixedSetupChecks> checks =
      std::make_shared<platform::FixedSetupChecks>();
  std::shared_ptr<platform::FakeBonjour> bonjour = std::make_shared<platform::FakeBonjour>();
  std::shared_ptr<testing::RecordingSetupWindow> window =
      std::make_shared<testing::RecordingSetupWindow>();
  MainThread thread;
  std::shared_ptr<inputhelper::InputHelperProcess> helperProcess;
  std::shared_ptr<HostPermissionMonitor> monitor;
  std::shared_ptr<HostServices> services;
};

// The helper's gamepad probe waits for input injection; the Local Network row follows the probe's
// advertisement and its end.
TEST_F(SetupFlowTest, GamepadProbeAfterInputInjectionAndLocalNetworkFromTheProbe) {
  useUhid(true);
  checks->screenCapture = true;
  monitor = makeMonitor(helperPath);
  EXPECT_FALSE(thread.onMain([&] { return monitor->probing(); }));
  EXPECT_EQ(monitor->virtualHIDAvailable.get(), std::nullopt);
  EXPECT_EQ(monitor->accessibilityTrusted.get(), std::optional(false));
  checks->inputInjection = true;  // XTEST appears: the next refresh probes
  thread.onMain([&] { monitor->refresh(); });
  ASSERT_TRUE(settledProbe(*monitor));
  EXPECT_EQ(monitor->virtualHIDAvailable.get(), std::optional(true));

  EXPECT_FALSE(monitor->localNetworkAdvertised.get());
  bonjour->immediateEvent = platform::BonjourEvent{platform::BonjourEvent::Kind::added, ""};
  thread.onMain([&] { monitor->retryLocalNetwork(); });
  EXPECT_TRUE(waitUntil(10, [&] { return monitor->localNetworkAdvertised.get(); }));
  ASSERT_EQ(bonjour->advertisements().size(), 1u);
  EXPECT_EQ(bonjour->advertisements()[0].type, "_ferrowin._tcp");
  thread.onMain([&] { monitor->networkProbe().stop(); });
  EXPECT_TRUE(waitUntil(10, [&] { return !monitor->localNetworkAdvertised.get(); }));
  EXPECT_EQ(bonjour->liveRegistrations(), 0u);
}

// Capturing through the desktop portal, the Screen Recording row is its grant. The user revokes it
// (the session is closed) or the compositor stops the cast (the node goes away): the row turns
// false, the token is forgotten, the setup window comes back and holds the services. "Enable" asks
// the portal again, and the new grant streams and turns the row true.
TEST_F(SetupFlowTest, RevokedPortalGrantHoldsTheHostUntilGrantedAgain) {
  if (const std::string skip = portalMissing(); !skip.empty()) GTEST_SKIP() << skip;
  testing::PipeWireServer server;
  ASSERT_TRUE(server.start()) << server.log();
  auto node = server.publishTestPattern("ferrowin-setup-desktop", 320, 240, "smpte");
  testing::FakeScreenCastPortal portal(server, "ferrowin-setup-desktop", 320, 240);
  ASSERT_TRUE(node && portal.start());
  auto capture = std::make_shared<platform::PortalCapture>(
      platform::PortalCapture::Options{.busAddress = server.busAddress(),
                                       .settings = &settings,
                                       .tokenKey = kPortalRestoreTokenKey,
                                       .timeout = std::chrono::seconds(10)});
  ASSERT_TRUE(capture->ask());
  useUhid(true);
  checks->inputInjection = true;
  ASSERT_TRUE(settings.setBool(kOnboardingCompletedKey, true));
  services = makeServices(platform::withCaptureGrant(checks, capture));
  thread.onMain([&] {
    services->onboarding->presentIfNeeded();
    services->startServices();
  });
  ASSERT_TRUE(services->control->isRunning.get());
  ASSERT_TRUE(settledProbe(*services->permissions));

  const platform::CaptureFilter display{platform::CaptureFilter::Kind::display, 1, {}, 1.0};
  for (bool closeSession : {true, false}) {
    if (closeSession) {
      ASSERT_TRUE(portal.revoke());
    } else {
      node->remove();
    }
    EXPECT_TRUE(waitUntil(10, [&] { return window->visible.load(); })) << closeSession;
    EXPECT_TRUE(waitUntil(10, [&] { return !services->control->isRunning.get(); }));
    EXPECT_FALSE(services->permissions->screenRecordingGranted.get());
    EXPECT_EQ(settings.stringValue(kPortalRestoreTokenKey), std::nullopt);
    EXPECT_FALSE(capture->backend()->screenshot(display, 32, 24, false));
    if (!closeSession) {  // the compositor casts again, under a new node id
      node = server.publishTestPattern("ferrowin-setup-desktop", 320, 240, "smpte");
      ASSERT_TRUE(node && portal.start());
    }

    thread.onMain([&] { services->permissions->requestScreenRecording(); });  // "Enable"
    EXPECT_TRUE(waitUntil(10, [&] { return services->permissions->screenRecordingGranted.get(); }));
    EXPECT_TRUE(settings.stringValue(kPortalRestoreTokenKey));
    EXPECT_TRUE(capture->backend()->screenshot(display, 32, 24, false));
    thread.onMain([&] { services->onboarding->getStarted(); });
    EXPECT_FALSE(window->visible);
    EXPECT_TRUE(services->control->isRunning.get());
  }
  thread.onMain([&] { services.reset(); });
}

// `ferrowin-server --check` against a real X server, with the helper's gamepad on the test socket.
TEST(SetupCheckCommand, ExitStatusSaysWhetherSetupCanFinish) {
  testing::TempDir dir;
  testing::FakeUhidKernel kernel;
  const auto helper = testing::privateHelperCopy(dir, "check");
  for (bool xtest : {true, false}) {
    std::vector<std::string> arguments = {"-screen", "0", "640x480x24", "-nolisten", "tcp"};
    if (!xtest) arguments.insert(arguments.end(), {"-extension", "XTEST"});
    testing::XServer server("Xvfb", arguments);
    ASSERT_FALSE(server.name().empty()) << server.error();
    const std::string command =
        "DISPLAY=" + server.name() + " FERROWIN_UHID_SOCKET=" + kernel.path() +
        " FERROWIN_INPUT_HELPER=" + helper.string() +
        " DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus").string() + " " +
        FERROWIN_BINARY_DIR "/bin/ferrowin-server --check --config-dir " +
        (dir / "config").string() + " 2>/dev/null";
    int status = -1;
    const std::string out = testing::runCommand(command, &status);
    EXPECT_EQ(status, xtest ? 0 : 1) << out;
    EXPECT_NE(out.find("Screen Recording    Enabled"), std::string::npos) << out;
    EXPECT_NE(out.find(xtest ? "Accessibility       Enabled" : "Accessibility       Not enabled"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Local Network       Not enabled  Start the Avahi daemon"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(xtest ? "Setup can finish." : "Setup cannot finish"), std::string::npos)
        << out;
  }
  // No service was started: nothing was written to the data folder.
  EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

// `--check --capture portal` asks the portal as a start would; a grant revoked since then is
// answered 2 for its token, which is forgotten.
TEST(SetupCheckCommand, PortalGrantIsTheScreenRecordingRow) {
  if (const std::string skip = portalMissing(); !skip.empty()) GTEST_SKIP() << skip;
  testing::PipeWireServer server;
  ASSERT_TRUE(server.start()) << server.log();
  auto node = server.publishTestPattern("ferrowin-check-desktop", 320, 240, "smpte");
  testing::FakeScreenCastPortal portal(server, "ferrowin-check-desktop", 320, 240);
  ASSERT_TRUE(node && portal.start());
  testing::TempDir dir;
  const std::string command = "DISPLAY= DBUS_SESSION_BUS_ADDRESS=" + server.busAddress() +
                              " DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus").string() +
                              " " FERROWIN_BINARY_DIR
                              "/bin/ferrowin-server --check --capture portal --config-dir " +
                              (dir / "config").string() + " 2>/dev/null";
  for (bool revoked : {false, true}) {
    if (revoked) {
      ASSERT_TRUE(portal.revoke());
    }
    const std::string out = testing::runCommand(command);
    EXPECT_NE(out.find(revoked ? "Screen Recording    Not enabled" : "Screen Recording    Enabled"),
              std::string::npos)
        << out;
    EXPECT_EQ(common::SettingsStore(dir / "config").stringValue(kPortalRestoreTokenKey).has_value(),
              !revoked);
  }
  EXPECT_NE(portal.log().find(R"("revoked": true)"), std::string::npos) << portal.log();
}

}  // namespace
}  // namespace ferrowin::app
