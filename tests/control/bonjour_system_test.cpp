// The control server's Bonjour advertisement against a real avahi-daemon on a D-Bus system bus of
// the test's own: advertised and found by avahi-browse, "(Bonjour off)" while the daemon is gone,
// advertised again by itself once it is back. Skipped where the daemon cannot start (no
// avahi-daemon or dbus-daemon, not root, or another avahi-daemon already running here).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/fake/fake_host_info.h"
#include "tests/control/control_test_support.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

bool eventually(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> findProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    const std::filesystem::path path = std::filesystem::path(dir) / name;
    if (access(path.c_str(), X_OK) == 0) return path.string();
  }
  return std::nullopt;
}

// A child process with its output in `log`; ended with SIGTERM and reaped.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::filesystem::path& log) {
    pid_ = fork();
    if (pid_ == 0) {
      FILE* out = std::fopen(log.c_str(), "w");
      if (out) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
      }
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() { stop(); }
  bool exited() {
    if (pid_ <= 0) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// One D-Bus system bus for the whole suite (libdbus reads its address once per process); an
// avahi-daemon per test.
class BonjourSystemTest : public ::testing::Test {
 protected:
  struct Bus {
    testing::TempDir dir;
    std::unique_ptr<Child> daemon;
    std::string problem;  // why the tests cannot run here, empty when they can
  };

  static void SetUpTestSuite() {
    bus_ = new Bus;
    const auto dbusDaemon = findProgram("dbus-daemon");
    if (!dbusDaemon || !findProgram("avahi-daemon") || !findProgram("avahi-browse")) {
      bus_->problem = "dbus-daemon, avahi-daemon or avahi-browse is missing (scripts/bootstrap)";
      return;
    }
    if (geteuid() != 0) {
      bus_->problem = "avahi-daemon needs root for its pid file";
      return;
    }
    const std::filesystem::path socket = bus_->dir / "bus";
    std::ofstream(bus_->dir / "bus.conf") << R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" << socket.string()
                                          << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    // Loopback only: nothing leaves this machine.
    std::ofstream(bus_->dir / "avahi.conf") << "[server]\nuse-ipv4=yes\nuse-ipv6=no\n"
                                               "allow-interfaces=lo\nenable-dbus=yes\n"
                                               "[publish]\npublish-addresses=yes\n";
    bus_->daemon = std::make_unique<Child>(
        std::vector<std::string>{*dbusDaemon,
                                 "--config-file=" + (bus_->dir / "bus.conf").string(), "--nofork"},
        bus_->dir / "bus.log");
    if (!eventually([&] { return std::filesystem::exists(socket); }, 5)) {
      bus_->problem = "dbus-daemon did not start: " + readFile(bus_->dir / "bus.log");
      return;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket.string()).c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete bus_;
    bus_ = nullptr;
  }

  void SetUp() override {
    if (!bus_->problem.empty()) GTEST_SKIP() << bus_->problem;
    if (!startAvahi()) GTEST_SKIP() << "avahi-daemon did not start: " << avahiLog();
  }

  void TearDown() override {
    if (server_) main_.run([&] { server_.reset(); });
    avahi_.reset();
  }

  bool startAvahi() {
    ++avahiRuns_;
    avahi_ = std::make_unique<Child>(
        std::vector<std::string>{*findProgram("avahi-daemon"), "-f",
                                 (bus_->dir / "avahi.conf").string(),
                                 "--no-drop-root", "--no-chroot", "--no-rlimits"},
        logPath());
    return eventually(
        [&] { return avahiLog().find("Server startup complete") != std::string::npos; }, 10) &&
           !avahi_->exited();
  }

  std::filesystem::path logPath() const {
    return dir_ / ("avahi-" + std::to_string(avahiRuns_) + ".log");
  }
  std::string avahiLog() const { return readFile(logPath()); }

  // The ports avahi-browse resolves for "_ferrowin._tcp" (its parseable output, resolved lines).
  std::vector<uint16_t> browse() {
    std::vector<uint16_t> ports;
    FILE* pipe = popen("avahi-browse -p -t -r _ferrowin._tcp 2>/dev/null", "r");
    if (!pipe) return ports;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
      // =;lo;IPv4;name;_ferrowin._tcp;local;host.local;127.0.0.1;PORT;txt
      std::vector<std::string> fields;
      std::stringstream in(line);
      for (std::string field; std::getline(in, field, ';');) fields.push_back(field);
      if (fields.size() >= 9 && fields[0] == "=") ports.push_back(uint16_t(std::stoi(fields[8])));
    }
    pclose(pipe);
    return ports;
  }

  /// Starts a control server with the real Avahi advertiser on a free port; answers the port.
  uint16_t startServer() {
    server_ = ControlServer::create({.main = &main_.executor(),
                                     .dataDirectory = dir_ / "data",
                                     .verifier = std::make_shared<FakeProofVerifier>(),
                                     .bonjour = platform::makeAvahiBonjour(),
                                     .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                     .pairEveryConnection = false,
                                     .limits = {}});
    server_->port = 0;
    main_.run([&] { server_->start(); });
    return main_.run([&] { return server_->listeningPort(); });
  }

  bool statusBecomes(const std::string& text) {
    return eventually([&] { return server_->statusMessage.get() == text; }, 15);
  }

  static Bus* bus_;
  testing::TempDir dir_;
  std::unique_ptr<Child> avahi_;
  int avahiRuns_ = 0;
  MainThread main_;
  std::shared_ptr<ControlServer> server_;
};

BonjourSystemTest::Bus* BonjourSystemTest::bus_ = nullptr;

TEST_F(BonjourSystemTest, AdvertisesStopsSayingOnWhileTheDaemonIsGoneAndResumesByItself) {
  const uint16_t port = startServer();
  ASSERT_NE(port, 0);
  const std::string listening = "Listening on port " + std::to_string(port);
  ASSERT_TRUE(statusBecomes(listening + " (Bonjour on)")) << server_->statusMessage.get();
  EXPECT_TRUE(eventually([&] { return browse() == std::vector<uint16_t>{port}; }, 10));

  avahi_->stop();
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour off)")) << server_->statusMessage.get();
  EXPECT_FALSE(server_->isBonjourAdvertised.get());

  ASSERT_TRUE(startAvahi()) << avahiLog();
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour on)")) << server_->statusMessage.get();
  EXPECT_TRUE(eventually([&] { return browse() == std::vector<uint16_t>{port}; }, 10));
  EXPECT_EQ(main_.run([&] { return server_->listeningPort(); }), port);  // same listener

  main_.run([&] { server_->stop(); });
  EXPECT_EQ(server_->statusMessage.get(), "Idle");
}

TEST_F(BonjourSystemTest, ADaemonThatStartsLaterIsWaitedFor) {
  avahi_->stop();
  const uint16_t port = startServer();
  const std::string listening = "Listening on port " + std::to_string(port);
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour off)")) << server_->statusMessage.get();
  ASSERT_TRUE(startAvahi()) << avahiLog();
  EXPECT_TRUE(statusBecomes(listening + " (Bonjour on)")) << server_->statusMessage.get();
  EXPECT_TRUE(eventually([&] { return browse() == std::vector<uint16_t>{port}; }, 10));
}

}  // namespace
}  // namespace ferrowin::control
