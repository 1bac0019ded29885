#include "server/app/host_services.h"

#include <gtest/gtest.h>

#include "common/util/files.h"
#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "tests/app/setup_test_support.h"

namespace ferrowin::app {
namespace {

class HostServicesTest : public ::testing::Test, protected testing::MainThread {
 protected:
  ~HostServicesTest() override {
    onMain([&] { services.reset(); });
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
  std::shared_ptr<HostServices> services;
};

// The ports, what starts and holds, and a transport override that is never saved. (What a service
// that cannot start says is the host start-up test's.)
TEST_F(HostServicesTest, StartHoldPortsAndTheTransportOverride) {
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
  // Already running: the same control listener and code.
  const std::string code = services->control->pairingCode.get();
  onMain([&] { services->startServices(); });
  EXPECT_EQ(services->control->pairingCode.get(), code);

  onMain([&] { services->holdServices(); });
  EXPECT_FALSE(services->control->isRunning.get());
  EXPECT_FALSE(services->video->isRunning.get());
  EXPECT_EQ(services->control->statusMessage.get(), "Idle");

  // A transport override is never saved.
  onMain([&] { services.reset(); });  // the held services end on the main thread
  ASSERT_TRUE(settings.setString(kVideoTransportKey, "udp_fec"));
  services = make();
  EXPECT_EQ(services->videoTransport(), "udp_fec");
  services = make("tcp");
  EXPECT_EQ(services->videoTransport(), "tcp");
  EXPECT_EQ(common::SettingsStore(dir / "config").stringValue(kVideoTransportKey), "udp_fec");
}

}  // namespace
}  // namespace ferrowin::app
