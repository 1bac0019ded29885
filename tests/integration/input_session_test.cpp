// A paired client streams with the gamepad on: the real host starts its helper for the session,
// gamepad datagrams sent by `ferrowin-client input` become device reports on the (fake) kernel's
// virtual gamepad, and the rumble a game asks for comes back to the client's socket.

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"
#include "client/control/pairing.h"
#include "client/video/video_client.h"
#include "tests/integration/host_process.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

std::string runClient(const std::string& arguments) {
  const std::string command =
      (serverBinary().parent_path() / "ferrowin-client").string() + " " + arguments + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

// argv of a live process, NUL-separated in /proc.
std::vector<std::string> commandLine(const std::string& pid) {
  std::ifstream file("/proc/" + pid + "/cmdline");
  std::vector<std::string> argv;
  for (std::string part; std::getline(file, part, '\0');) argv.push_back(part);
  return argv;
}

TEST(InputSession, GamepadFromTheClientReachesTheDeviceAndRumbleComesBack) {
  if (!std::filesystem::exists(serverBinary()))
    GTEST_SKIP() << "ferrowin-server is not built at " << serverBinary();
  FakeUhidKernel kernel;
  TempDir data, config, state;
  auto authority = client::attest::DevAttestAuthority::open(state.path(), true);
  ASSERT_TRUE(authority);
  HostProcess host({data.path(),
                    config.path(),
                    authority->rootCertificatePath(),
                    {{"FERROWIN_UHID_SOCKET", kernel.path()}},
                    0});
  ASSERT_TRUE(host.start()) << host.log();
  client::ControlClient control({"127.0.0.1", host.port()}, state.path(), 10.0, true);
  ASSERT_TRUE(client::pairWithHost(control, *authority, state.path(), host.pairingCode()))
      << host.log();

  client::VideoClientOptions options;
  options.port = static_cast<uint16_t>(host.port() + 1);
  options.config.width = 320;
  options.config.height = 180;
  options.config.fps = 30;
  options.config.bitrateKbps = 800;
  options.config.gamepadEnabled = true;
  options.config.gamepadProfile = common::DeviceProfile::xbox;
  client::UdpVideoClient video(options);
  ASSERT_TRUE(video.start());

  auto pad = kernel.waitForCreate(0, 20.0);
  ASSERT_TRUE(pad) << host.log();
  EXPECT_EQ(pad->name, "Xbox Wireless Controller");
  kernel.sendStart(0);
  kernel.sendOpen(0);

  // The helper was started for this session.
  std::smatch spawned;
  const std::string log = host.log();
  ASSERT_TRUE(std::regex_search(log, spawned, std::regex("Spawned \\S+ pid=(\\d+)"))) << log;
  const auto argv = commandLine(spawned[1]);
  const std::vector<std::string> expected = {
      "--port",       std::to_string(host.port() + 2), "--profile", "xbox", "--timeout-ms", "1000",
      "--gamepad-hid"};
  ASSERT_EQ(argv.size(), expected.size() + 1) << log;
  EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()), expected);

  // The device exists before the helper listens; send once it does.
  const std::string listening = "Listening on UDP port " + std::to_string(host.port() + 2);
  for (int i = 0; i < 500 && host.log().find(listening) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(host.log().find(listening), std::string::npos) << host.log();

  // A press from the command-line client; its answer waits for rumble on the same socket.
  const size_t before = kernel.inputs(0).size();
  auto client = std::async(std::launch::async, runClient,
                           "--state-dir " + state.path().string() +
                               " input gamepad --buttons 1 --host 127.0.0.1 --port " +
                               std::to_string(host.port()) + " --listen-rumble 4");
  // The device sends reports of its own too; look for the press (report 1, A in byte 14 bit 0).
  auto pressed = [&] {
    const auto inputs = kernel.inputs(0);
    for (size_t i = before; i < inputs.size(); ++i) {
      if (inputs[i].size() == 17 && inputs[i][0] == 1 && (inputs[i][14] & 1)) return true;
    }
    return false;
  };
  for (int i = 0; i < 500 && !pressed(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(pressed()) << host.log();

  kernel.sendOutput(0, FakeUhidKernel::kOutputReport, {3, 0x03, 0, 0, 100, 50, 20, 0, 0});
  const std::string output = client.get();
  EXPECT_NE(output.find("rumble 1: motors 255 127 0 0, duration 200\n"), std::string::npos)
      << output;

  video.stop();
  EXPECT_EQ(host.stop(), 0);
  EXPECT_TRUE(kernel.waitForDestroy(0));
}

}  // namespace
}  // namespace ferrowin::testing
