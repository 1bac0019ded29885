// The control server's Bonjour advertisement against a real avahi-daemon on a D-Bus system bus of
// the test's own: found by avahi-browse, "(Bonjour off)" while the daemon is gone, advertised
// again by itself once it is back. Skipped where the daemon cannot start (no avahi-daemon or
// dbus-daemon, not root, or another avahi-daemon already running here).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/util/files.h"
#include "platform/fake/fake_host_info.h"
#include "tests/control/control_test_support.h"
#include "tests/support/run_command.h"
#include "tests/support/spawn_logged.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

using namespace ferrowin::testing;

// The ports avahi-browse resolves for "_ferrowin._tcp" (its parseable output, resolved lines).
std::vector<uint16_t> browse() {
  std::vector<uint16_t> ports;
  std::istringstream lines(runCommand("avahi-browse -p -t -r _ferrowin._tcp 2>/dev/null"));
  for (std::string line; std::getline(lines, line);) {
    // =;lo;IPv4;name;_ferrowin._tcp;local;host.local;127.0.0.1;PORT;txt
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ';');) fields.push_back(field);
    if (fields.size() >= 9 && fields[0] == "=") ports.push_back(uint16_t(std::stoi(fields[8])));
  }
  return ports;
}

TEST(BonjourSystem, AdvertisesStopsSayingOnWhileTheDaemonIsGoneAndResumesByItself) {
  if (!onPath("dbus-daemon") || !onPath("avahi-daemon") || !onPath("avahi-browse"))
    GTEST_SKIP() << "dbus-daemon, avahi-daemon or avahi-browse is missing (scripts/bootstrap)";
  if (::geteuid() != 0) GTEST_SKIP() << "avahi-daemon needs root for its pid file";
  TempDir dir;
  const std::string socket = (dir / "bus").string();
  std::ofstream(dir / "bus.conf") << "<busconfig><type>system</type><listen>unix:path=" << socket
                                  << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                     "<allow user=\"*\"/><allow own=\"*\"/><allow "
                                     "send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                     "</policy></busconfig>\n";
  // Loopback only: nothing leaves this machine.
  std::ofstream(dir / "avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                                       "enable-dbus=yes\n[publish]\npublish-addresses=yes\n";
  pid_t bus = -1, avahi = -1;
  struct Ender {
    pid_t &bus, &avahi;
    ~Ender() {
      endChild(avahi);
      endChild(bus);
    }
  } ender{bus, avahi};
  bus = spawnLogged({"dbus-daemon", "--config-file=" + (dir / "bus.conf").string(), "--nofork"}, {},
                    (dir / "bus.log").string());
  ASSERT_TRUE(waitUntil(5, [&] { return std::filesystem::exists(socket); }))
      << common::readFile(dir / "bus.log").value_or("");
  // libdbus reads the system bus address once per process: this binary holds only this test.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);

  int runs = 0;
  const auto startAvahi = [&] {
    const auto log = dir / ("avahi-" + std::to_string(++runs) + ".log");
    avahi = spawnLogged({"avahi-daemon", "-f", (dir / "avahi.conf").string(), "--no-drop-root",
                         "--no-chroot", "--no-rlimits"},
                        {}, log.string());
    const bool started = waitUntil(10, [&] {
      return common::readFile(log).value_or("").find("Server startup complete") !=
             std::string::npos;
    });
    return started && ::waitpid(avahi, nullptr, WNOHANG) == 0;
  };
  if (!startAvahi())
    GTEST_SKIP() << "avahi-daemon did not start: "
                 << common::readFile(dir / "avahi-1.log").value_or("");

  MainThread main;
  auto server = ControlServer::create({.main = &main.executor(),
                                       .dataDirectory = dir / "data",
                                       .verifier = std::make_shared<FakeProofVerifier>(),
                                       .bonjour = platform::makeAvahiBonjour(),
                                       .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                       .pairEveryConnection = false,
                                       .limits = {}});
  server->port = 0;
  main.run([&] { server->start(); });
  const uint16_t port = main.run([&] { return server->listeningPort(); });
  const std::string listening = "Listening on port " + std::to_string(port);
  const auto statusBecomes = [&](const std::string& text) {
    return waitUntil(15, [&] { return server->statusMessage.get() == text; });
  };
  const auto browsed = [&] {
    return waitUntil(10, [&] { return browse() == std::vector<uint16_t>{port}; });
  };
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour on)")) << server->statusMessage.get();
  EXPECT_TRUE(browsed());

  endChild(avahi);
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour off)")) << server->statusMessage.get();
  EXPECT_FALSE(server->isBonjourAdvertised.get());

  EXPECT_TRUE(startAvahi());
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour on)")) << server->statusMessage.get();
  EXPECT_TRUE(browsed());
  EXPECT_EQ(main.run([&] { return server->listeningPort(); }), port);  // same listener

  main.run([&] { server.reset(); });
}

}  // namespace
}  // namespace ferrowin::control
