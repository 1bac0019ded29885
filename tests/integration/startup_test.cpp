// What a person meets starting the real host: a service that cannot start (a port held by
// someone else, a data directory that is not one) stops the host with an error line naming the
// port or path and the reason.

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <functional>

#include "common/util/files.h"
#include "tests/integration/host_process.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

TEST(StartUp, AServiceThatCannotStartStopsTheHostWithItsReason) {
  TempDir data, config;
  asio::io_context io;
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    // Takes what the host needs; returns the error line expected for control port `port`.
    std::function<std::string(uint16_t port)> hold;
  };
  std::vector<std::shared_ptr<void>> held;
  const std::string dataFile = (data / "a-file").string();
  const std::vector<Case> cases = {
      {"control port taken",
       {},
       [&](uint16_t port) {
         held.push_back(std::make_shared<asio::ip::tcp::acceptor>(
             io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port)));
         return "Control service on port " + std::to_string(port) +
                ": Listener failed: Address already in use";
       }},
      // Held with address reuse, as a host that allowed it would hold it: the host must still
      // refuse to share the port.
      {"UDP video port taken",
       {"--transport", "udp_arq"},
       [&](uint16_t port) {
         auto socket = std::make_shared<asio::ip::udp::socket>(io, asio::ip::udp::v4());
         socket->set_option(asio::socket_base::reuse_address(true));
         socket->bind({asio::ip::udp::v4(), static_cast<uint16_t>(port + 1)});
         held.push_back(socket);
         return "Video service (udp_arq) on port " + std::to_string(port + 1) +
                ": UDP listener failed: Address already in use";
       }},
      {"TCP video port taken",
       {"--transport", "tcp"},
       [&](uint16_t port) {
         held.push_back(std::make_shared<asio::ip::tcp::acceptor>(
             io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port + 1)));
         return "Video service (tcp) on port " + std::to_string(port + 1) +
                ": Listener failed: Address already in use";
       }},
      {"data directory is a file",
       {},
       [&](uint16_t port) {
         EXPECT_TRUE(common::writeFileAtomically(dataFile, "not a directory"));
         return "Control service on port " + std::to_string(port) +
                ": TLS identity failed: cannot create " + dataFile +
                "/com.zavel.ferrowin.server/control-tls: Not a directory";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    held.clear();
    const bool fileAsData = std::string(c.name) == "data directory is a file";
    HostProcess host({.dataDir = fileAsData ? std::filesystem::path(dataFile) : data.path(),
                      .configDir = config.path(),
                      .arguments = c.arguments});
    const std::string expected = c.hold(host.port());
    EXPECT_FALSE(host.start(10.0));
    EXPECT_EQ(host.exitStatus(), 1) << host.log();
    const std::string log = host.log();
    EXPECT_NE(log.find(" error [com.zavel.ferrowin.server/app] " + expected + "\n"),
              std::string::npos)
        << log;
    // Without a control listener no code is offered.
    if (expected.starts_with("Control service")) {
      EXPECT_EQ(log.find("Pairing code:"), std::string::npos) << log;
    }
  }
}

TEST(StartUp, WithADisplayTheWindowsRunAndASigtermStillEndsTheHostCleanly) {
  TempDir data, config;
  HostProcess host({.dataDir = data.path(),
                    .configDir = config.path(),
                    .environment = {{"QT_QPA_PLATFORM", "offscreen"}},
                    .headless = false});
  // Without an X display nothing is granted, so setup shows and holds the services: no code.
  EXPECT_FALSE(host.start(2.0));
  ASSERT_TRUE(host.logShows("Virtual displays:")) << host.log();
  EXPECT_EQ(host.log().find("running headless"), std::string::npos) << host.log();
  EXPECT_EQ(host.stop(), 0) << host.log();
  EXPECT_NE(host.log().find("] Stopped\n"), std::string::npos) << host.log();
}

}  // namespace
}  // namespace ferrowin::testing
