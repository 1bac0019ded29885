#include "server/app/host_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "client/input/input_datagrams.h"
#include "client/input/input_sender.h"
#include "common/runtime/flow.h"
#include "common/util/files.h"
#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::app {
namespace {

class HostServicesTest : public ::testing::Test {
 protected:
  HostServicesTest() : thread_([this] { main.run(); }) {}
  ~HostServicesTest() override {
    onMain([&] { services.reset(); });
    main.stop();
    thread_.join();
  }

  template <class F>
  auto onMain(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    main.post([&task] { task(); });
    return result.get();
  }

  std::shared_ptr<HostServices> make(std::optional<std::string> transportOverride = std::nullopt,
                                     uint16_t controlPort = 0) {
    return onMain([&] {
      return HostServices::create({.main = &main,
                                   .settings = &settings,
                                   .dataDirectory = dir / "data",
                                   .controlPort = controlPort,
                                   .transportOverride = transportOverride,
                                   .bonjour = std::make_shared<platform::FakeBonjour>(),
                                   .hostInfo = std::make_shared<platform::FakeHostInfo>()});
    });
  }

  testing::TempDir dir;
  common::SettingsStore settings{dir / "config"};
  common::MainExecutor main;
  std::shared_ptr<HostServices> services;

 private:
  std::thread thread_;
};

TEST(VideoTransportSetting, OnlyTcpAndFecSelectThemselves) {
  EXPECT_EQ(videoTransportFromSetting(std::nullopt), "udp_arq");
  EXPECT_EQ(videoTransportFromSetting("udp_arq"), "udp_arq");
  EXPECT_EQ(videoTransportFromSetting("TCP"), "udp_arq");
  EXPECT_EQ(videoTransportFromSetting("tcp"), "tcp");
  EXPECT_EQ(videoTransportFromSetting("udp_fec"), "udp_fec");
}

TEST(AudioBackendChoice, SyntheticToneGoesWithTheSyntheticPicture) {
  struct Case {
    std::optional<std::string> choice;
    bool syntheticCapture;
    const char* backend;
  };
  for (const Case& c : {Case{std::nullopt, true, "synthetic"}, Case{std::nullopt, false, "pulse"},
                        Case{"pulse", true, "pulse"}, Case{"synthetic", false, "synthetic"}}) {
    EXPECT_EQ(makeAudioBackend(c.choice, c.syntheticCapture)->name(), c.backend);
  }
}

TEST_F(HostServicesTest, TransportOverrideIsNeverSaved) {
  ASSERT_TRUE(settings.setString(kVideoTransportKey, "udp_fec"));
  services = make();
  EXPECT_EQ(services->videoTransport(), "udp_fec");
  services = make("tcp");
  EXPECT_EQ(services->videoTransport(), "tcp");
  EXPECT_EQ(common::SettingsStore(dir / "config").stringValue(kVideoTransportKey), "udp_fec");
}

TEST_F(HostServicesTest, DiagnosticsSettingPersists) {
  services = make();
  EXPECT_FALSE(services->videoDiagnosticsEnabled.get());
  onMain([&] { services->setVideoDiagnosticsEnabled(true); });
  EXPECT_TRUE(common::SettingsStore(dir / "config").boolValue(kVideoDiagnosticsKey, false));
  services = make();
  EXPECT_TRUE(services->videoDiagnosticsEnabled.get());
}

TEST_F(HostServicesTest, StartHoldAndPorts) {
  services = make(std::nullopt, 41000);
  EXPECT_EQ(services->videoPort(), 41001);
  EXPECT_EQ(services->inputPort(), 41002);
  EXPECT_EQ(services->inputHelper->port, 41002);
  onMain([&] { services->holdServices(); });  // nothing runs: nothing happens
  EXPECT_EQ(services->control->statusMessage.get(), "Idle");

  onMain([&] {
    services->control->port = 0;
    services->startServices();
  });
  EXPECT_TRUE(services->control->isRunning.get());
  EXPECT_EQ(services->videoPort(), 1);  // recomputed from the control port at every start
  EXPECT_EQ(services->inputHelper->port, 2);
  EXPECT_TRUE(services->video->isRunning.get());
  EXPECT_TRUE(onMain([&] { return services->startFailures(); }).empty());
  // What stops and starts, in order.
  std::vector<std::string> events;
  auto video = services->video->statusMessage.observe(
      [&](const std::string& status) { events.push_back("video " + status); });
  auto control = services->control->isRunning.observe(
      [&](bool running) { events.push_back(running ? "control on" : "control off"); });
  const std::string code = services->control->pairingCode.get();
  // Already running: the same control listener and code; the video server restarts.
  onMain([&] { services->startServices(); });
  EXPECT_EQ(services->control->pairingCode.get(), code);
  auto seen = onMain([&] { return events; });
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], "video Idle");
  EXPECT_EQ(seen[1], "video Starting...");

  onMain([&] {
    events.clear();
    services->holdServices();
  });
  seen = onMain([&] { return events; });
  const auto at = [&](const std::string& event) {
    return std::find(seen.begin(), seen.end(), event) - seen.begin();
  };
  EXPECT_LT(at("video Idle"), at("control off"));
  EXPECT_LT(at("control off"), static_cast<long>(seen.size()));
  EXPECT_FALSE(services->control->isRunning.get());
  EXPECT_EQ(services->control->statusMessage.get(), "Idle");
  EXPECT_EQ(onMain([&] { return services->startFailures(); }),
            (std::vector<std::string>{"Control service on port 0: Idle",
                                      "Video service (udp_arq) on port 1: Idle"}));
}

// The real helper (a private copy, so the host's sweep of leftover helpers ends no one else's)
// with its gamepad on the fake kernel: an address the control plane authenticates may then drive
// the gamepad, and one it has not may not.
TEST_F(HostServicesTest, AuthenticatedAddressesReachTheRunningHelper) {
  testing::FakeUhidKernel kernel;
  ::setenv("FERROWIN_UHID_SOCKET", kernel.path().c_str(), 1);
  ::unsetenv("DISPLAY");
  const auto helperPath = dir / ("FerrowinInputHelper-app" + std::to_string(::getpid()));
  std::filesystem::copy_file(FERROWIN_BINARY_DIR "/bin/FerrowinInputHelper", helperPath);
  // A free UDP port for the helper; the control port is two below it.
  uint16_t inputPort = 0;
  {
    auto sender = client::InputSender::open("127.0.0.1", 9);
    ASSERT_TRUE(sender);
    ASSERT_TRUE(sender->send(std::vector<uint8_t>{0}));
    inputPort = sender->localPort();
  }
  services = onMain([&] {
    return HostServices::create({.main = &main,
                                 .settings = &settings,
                                 .dataDirectory = dir / "data",
                                 .controlPort = static_cast<uint16_t>(inputPort - 2),
                                 .bonjour = std::make_shared<platform::FakeBonjour>(),
                                 .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                 .inputHelperPath = helperPath});
  });
  ASSERT_EQ(services->inputHelper->port, inputPort);
  onMain([&] {
    common::spawn(main.context().get_executor(),
                  services->inputHelper->ensureSession(common::DeviceProfile::generic, true, false));
  });
  auto waitFor = [](auto predicate) {
    for (int i = 0; i < 500 && !predicate(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return predicate();
  };
  ASSERT_TRUE(waitFor([&] { return services->inputHelper->isRunning.get(); }));
  ASSERT_TRUE(kernel.waitForCreate(0));
  kernel.sendStart(0);
  kernel.sendOpen(0);

  auto sender = client::InputSender::open("127.0.0.1", inputPort);
  ASSERT_TRUE(sender);
  uint32_t sequence = 1;
  auto pressA = [&] {
    inputhelper::VirtualGamepadInputReport report;
    report.buttons = 1;
    return sender->send(client::encodeGamepadDatagram({sequence++, report})).has_value();
  };
  // Nobody is authenticated yet: the helper ignores the datagrams.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t before = kernel.inputs(0).size();
  ASSERT_TRUE(pressA());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(kernel.inputs(0).size(), before);

  services->control->peers().authorize("client-key", "127.0.0.1");
  EXPECT_TRUE(waitFor([&] {
    // The allowlist line may still be on its way; keep pressing.
    pressA();
    return kernel.inputs(0).size() > before;
  }));

  onMain([&] { common::spawn(main.context().get_executor(), services->inputHelper->stop()); });
  EXPECT_TRUE(waitFor([&] { return !services->inputHelper->isRunning.get(); }));
  ::unsetenv("FERROWIN_UHID_SOCKET");
}

}  // namespace
}  // namespace ferrowin::app
