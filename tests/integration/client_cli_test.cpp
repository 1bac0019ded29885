// ferrowin-client as a person runs it against the real host: --port is the control port for every
// command, the host paired with last is the default, host names work, and the exit status and
// message tell what went wrong.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/util/files.h"
#include "tests/integration/host_process.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

// Runs ferrowin-client with `arguments`; with `interruptAfter`, sends it SIGINT then.
Outcome runCli(const std::vector<std::string>& arguments, double interruptAfter = 0) {
  std::string command = (serverBinary().parent_path() / "ferrowin-client").string();
  if (interruptAfter > 0)
    command = "timeout --preserve-status -s INT " + std::to_string(interruptAfter) + " " + command;
  for (const auto& argument : arguments) command += " '" + argument + "'";
  Outcome outcome;
  outcome.output = runCommand(command + " 2>&1", &outcome.status);
  return outcome;
}

class ClientCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(common::writeFileAtomically(config / "settings.json",
                                            "{\"ferrowin.video.transport\":\"udp_fec\"}"));
    auto ca = runCli({"--state-dir", state.path().string(), "dev-ca", "init"});
    ASSERT_EQ(ca.status, 0) << ca.output;
    host = std::make_unique<HostProcess>(HostProcess::Options{
        data.path(), config.path(), ca.output.substr(0, ca.output.find('\n')), {}, 0});
    ASSERT_TRUE(host->start()) << host->log();
    // Paired by host name; every later command goes to that host by default.
    auto paired = runCli({"--state-dir", state.path().string(), "pair", "--host", "localhost",
                          "--port", std::to_string(host->port()), "--code", host->pairingCode()});
    ASSERT_EQ(paired.status, 0) << paired.output << host->log();
  }

  std::vector<std::string> client(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--state-dir", state.path().string()});
    return arguments;
  }
  std::vector<std::string> stream(std::vector<std::string> more = {}) {
    auto arguments =
        client({"stream", "--width", "320", "--height", "180", "--fps", "30", "--bitrate", "800"});
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  }

  TempDir data, config, state, stranger;
  std::unique_ptr<HostProcess> host;
};

TEST_F(ClientCli, ExitStatusesAndMessagesSayWhatWentWrongThenTheStreamEndsWithTotals) {
  const std::string port = std::to_string(host->port());
  const std::string freePort = std::to_string(freeControlPort());
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string says;
  };
  // The host trusts addresses: a stranger is a client that comes over IPv6 (the paired one used
  // 127.0.0.1).
  const std::vector<Case> cases = {
      {"not authenticated",
       {"--state-dir", stranger.path().string(), "stream", "--host", "::1", "--port", port},
       1,
       "run `ferrowin-client resume`"},
      {"status not authenticated",
       {"--state-dir", stranger.path().string(), "status", "--host", "::1", "--port", port},
       1,
       "host answered 401: unauthorized (this client is not authenticated with the host: run "
       "`ferrowin-client resume`"},
      {"wrong transport", stream({"--transport", "tcp"}), 1,
       "the host streams over udp_fec, not tcp: leave out --transport, or pass --transport "
       "udp_fec"},
      {"nothing listening", client({"stream", "--host", "127.0.0.1", "--port", freePort}), 1,
       "cannot ask the host for its video transport: cannot connect to 127.0.0.1 port " + freePort},
      {"no host paired",
       {"--state-dir", stranger.path().string(), "probe"},
       1,
       "no host given and none paired yet (use --host)"},
      {"zero seconds", stream({"--seconds", "0"}), 2, "--seconds: Value 0 not in range 1 to 86400"},
      {"a transport the host does not name", stream({"--transport", "udp"}), 2, "--transport"},
      {"an unknown option", client({"status", "--bogus"}), 2, "--bogus"},
      {"a stick beyond a byte", client({"input", "gamepad", "--lx", "300"}), 2, "--lx"},
      {"gamepad help shows numbers", client({"input", "gamepad", "--help"}), 0, "--lx UINT=128"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = runCli(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("e+308"), std::string::npos) << run.output;
  }

  // A gamepad the host cannot create fails the stream (where this machine could create it, there
  // is nothing to see).
  if (::access("/dev/uhid", W_OK) != 0) {
    const Outcome run = runCli(stream({"--seconds", "3", "--gamepad", "xbox"}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("the session has no xbox gamepad: the host could not start it"),
              std::string::npos)
        << run.output;
    // The host says why, as an error, in the helper's Linux words (once).
    const std::string log = host->log();
    const std::string line =
        " error [com.zavel.ferrowin.server/inputhelper] helper: GamepadServer "
        "failed to start: HID device failed: virtual HID device could not be "
        "created: open /dev/uhid: ";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_EQ(log.find("helper: 20"), std::string::npos) << log;  // no second time stamp
  }

  // Ctrl-C: the totals, then 130.
  const Outcome interrupted = runCli(stream({"--seconds", "30"}), 2.5);
  EXPECT_EQ(interrupted.status, 130) << interrupted.output;
  EXPECT_NE(interrupted.output.find("total messages="), std::string::npos) << interrupted.output;

  // The host stops mid-stream: the client says so within seconds, not after --seconds.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    host->stop();
  });
  const auto begin = std::chrono::steady_clock::now();
  const Outcome gone = runCli(stream({"--seconds", "30"}));
  stopper.join();
  EXPECT_EQ(gone.status, 1) << gone.output;
  EXPECT_NE(gone.output.find("the host stopped sending after"), std::string::npos) << gone.output;
  EXPECT_NE(gone.output.find("total messages="), std::string::npos) << gone.output;
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(12));
}

}  // namespace
}  // namespace ferrowin::testing
