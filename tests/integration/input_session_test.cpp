// Input sessions against the real host, its real helper and a fake kernel playing /dev/uhid:
// a paired client streams with the gamepad (and the look remap) on, the host starts its helper for
// the session and feeds it lines on its standard input, input datagrams become device reports,
// rumble comes back, and the client leaving ends the remap part of a session but keeps a gamepad.
//
// The helper has no answer channel for its standard input: what it did with a line shows in its
// standard error, which the host logs as "helper: ...", and in what it lets through afterwards.

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>
#include <future>
#include <optional>
#include <regex>

#include "client/input/input_datagrams.h"
#include "client/video/video_client.h"
#include "common/util/settings.h"
#include "tests/integration/paired_host.h"
#include "tests/integration/small_stream.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {
namespace {

using Report = std::vector<uint8_t>;

// Generous: the host, its helper and libx265 share two loaded cores with other test binaries.
constexpr double kDeadline = 20.0;

// The pid of every helper the host started, in order.
std::vector<std::string> spawnedPids(const std::string& log) {
  static const std::regex spawned("Spawned \\S+ pid=(\\d+)");
  std::vector<std::string> pids;
  for (std::sregex_iterator it(log.begin(), log.end(), spawned), end; it != end; ++it)
    pids.push_back((*it)[1]);
  return pids;
}

// The Xbox main report (id 1) with A held: the client's button bit 0 is byte 14 bit 0.
bool pressesA(const Report& report) {
  return report.size() == 17 && report[0] == 1 && (report[14] & 1);
}

// The Xbox main report with the left trigger pulled (10 bits little-endian in bytes 9-10).
bool pullsLeftTrigger(const Report& report) {
  return report.size() == 17 && report[0] == 1 && (report[9] || report[10]);
}

// A mouse report (buttons, dx, dy, wheel) moving right.
bool movesRight(const Report& report) {
  return report.size() == 4 && static_cast<int8_t>(report[1]) > 0;
}

class InputSessionTest : public ::testing::Test, protected PairedHost {
 protected:
  // Starts the host streaming over TCP, where it sees the client leave the moment its connection
  // closes, and pairs the client.
  void startAndPair() {
    ASSERT_TRUE(common::SettingsStore(config.path()).setString("ferrowin.video.transport", "tcp"));
    start({{"FERROWIN_UHID_SOCKET", kernel.path()}});
  }
  void TearDown() override { host.reset(); }  // before the kernel goes

  // The gamepad and the look remap on.
  client::VideoClientOptions streamOptions() const {
    client::VideoClientOptions options = smallStream(*host);
    options.config.gamepadEnabled = true;
    options.config.gamepadProfile = common::DeviceProfile::xbox;
    options.config.remapToKBMEnabled = true;
    return options;
  }

  // `ferrowin-client input <arguments> --host 127.0.0.1 --port <control>`, as a user types it.
  std::string inputCommand(const std::string& arguments) const {
    return cli("input " + arguments + " --host 127.0.0.1 --port " + std::to_string(host->port()));
  }

  // Waits for device `device` and opens it as the kernel would; its name.
  std::optional<std::string> openDevice(size_t device) {
    auto created = kernel.waitForCreate(device, kDeadline);
    if (!created) return std::nullopt;
    kernel.sendStart(device);
    kernel.sendOpen(device);
    return created->name;
  }

  std::string listeningLine(const std::string& mode) const {
    return "Listening on UDP port " + std::to_string(host->port() + 2) + " (" + mode + ")";
  }

  // The pids of the helpers the host started, once there are at least `count`.
  std::vector<std::string> spawns(size_t count) const {
    std::vector<std::string> pids;
    waitUntil(kDeadline, [&] { return (pids = spawnedPids(host->log())).size() >= count; });
    return pids;
  }

  // Whether device `device` sends a report matching `predicate` after the first `from` reports
  // (virtual devices send reports of their own too).
  template <class Predicate>
  bool reportArrives(size_t device, size_t from, Predicate predicate) const {
    return waitUntil(kDeadline, [&] {
      const auto inputs = kernel.inputs(device);
      return std::any_of(inputs.begin() + static_cast<ptrdiff_t>(std::min(from, inputs.size())),
                         inputs.end(), predicate);
    });
  }

  FakeUhidKernel kernel;
};

// Sends a gamepad datagram from 127.0.0.2, a loopback address the host never authenticated.
void sendFromStranger(uint16_t port, const client::Datagram& datagram) {
  asio::io_context io;
  asio::ip::udp::socket socket(io, {asio::ip::make_address("127.0.0.2"), 0});
  EXPECT_EQ(socket.send_to(asio::buffer(datagram), {asio::ip::make_address("127.0.0.1"), port}),
            datagram.size());
}

TEST_F(InputSessionTest, RemapSessionGetsItsLinesAndKeepsOnlyTheGamepadWhenTheClientLeaves) {
  ASSERT_NO_FATAL_FAILURE(startAndPair());

  // Look settings first, over the client's authenticated control connection, as the app does.
  client::RemapLookSettings look{.sensitivity = 2.5,
                                 .acceleration = 0.25,
                                 .deadzone = 0.125,
                                 .verticalScale = 1.5,
                                 .stickCurve = "wide",
                                 .rampCurve = "cubic"};
  auto stored = control->putRemapSettings(look);
  ASSERT_TRUE(stored) << stored.error().description();
  EXPECT_EQ(stored->sensitivity, 2.5);

  std::optional<client::TcpVideoClient> video(std::in_place, streamOptions());
  ASSERT_TRUE(video->start());

  // One helper with both devices: the gamepad, then the mouse the look remapper moves. (The
  // helper's command line for each kind of session is the helper manager's test.)
  ASSERT_EQ(openDevice(0), "Xbox Wireless Controller") << host->log();
  ASSERT_EQ(openDevice(1), "Ferrowin Virtual Mouse") << host->log();
  const auto pids = spawns(1);
  ASSERT_EQ(pids.size(), 1u) << host->log();

  // The helper read the stored look settings...
  EXPECT_TRUE(host->logShows(
      "helper: remap: sensitivity=2.5 accel=0.25 dz=0.125 curve=wide ramp=cubic vScale=1.5"))
      << host->log();
  // ...and the capture geometry the host pushed, the same rectangle both sides.
  std::string log;
  std::smatch pushed, read;
  const std::regex pushedLine("Pushed geometry (\\d+)x(\\d+) @ \\((-?\\d+),(-?\\d+)\\)");
  const std::regex readLine(
      "helper: geometry: updated rect=\\((-?\\d+)\\.0,(-?\\d+)\\.0 [0-9.]+x[0-9.]+\\) "
      "active=(\\d+)x(\\d+)");
  ASSERT_TRUE(waitUntil(kDeadline, [&] {
    log = host->log();
    return std::regex_search(log, pushed, pushedLine) && std::regex_search(log, read, readLine);
  })) << log;
  EXPECT_EQ(std::string(read[3]) + "x" + std::string(read[4]),
            std::string(pushed[1]) + "x" + std::string(pushed[2]));
  EXPECT_EQ(std::string(read[1]) + "," + std::string(read[2]),
            std::string(pushed[3]) + "," + std::string(pushed[4]));

  // A change of settings while streaming reaches the running helper, clamped by the host.
  look.sensitivity = 10;
  look.deadzone = -1;
  look.stickCurve = "soft";
  ASSERT_TRUE(control->putRemapSettings(look));
  EXPECT_TRUE(host->logShows(
      "helper: remap: sensitivity=4.0 accel=0.25 dz=0.0 curve=soft ramp=cubic vScale=1.5"))
      << host->log();

  // The allowlist holds exactly the paired client: a stranger's pulled trigger is dropped, the
  // client's press that follows it on the same port arrives. The press comes from the command-line
  // client, whose answer waits for rumble on the same socket.
  ASSERT_TRUE(host->logShows(listeningLine("gamepad xbox + remap mouse"))) << host->log();
  size_t before = kernel.inputs(0).size();
  inputhelper::VirtualGamepadPacket stranger;
  stranger.sequence = 1;
  stranger.report.leftTrigger = 255;
  sendFromStranger(static_cast<uint16_t>(host->port() + 2),
                   client::encodeGamepadDatagram(stranger));
  auto rumble = std::async(std::launch::async, [&] {
    return runClient(inputCommand("gamepad --buttons 1 --listen-rumble 4"));
  });
  EXPECT_TRUE(reportArrives(0, before, pressesA)) << host->log();
  kernel.sendOutput(0, FakeUhidKernel::kOutputReport, {3, 0x03, 0, 0, 100, 50, 20, 0, 0});
  const std::string rumbled = rumble.get();
  EXPECT_NE(rumbled.find("rumble 1: motors 255 127 0 0, duration 200\n"), std::string::npos)
      << rumbled;
  const auto padReports = kernel.inputs(0);
  EXPECT_TRUE(std::none_of(padReports.begin() + static_cast<ptrdiff_t>(before), padReports.end(),
                           pullsLeftTrigger));

  // The look stick held right moves the virtual mouse right.
  const size_t mouseBefore = kernel.inputs(1).size();
  runClient(inputCommand("look --x 255 --y 128"));
  EXPECT_TRUE(reportArrives(1, mouseBefore, movesRight)) << host->log();

  // The client leaves: the helper is started again with the gamepad only, the mouse goes.
  video.reset();
  ASSERT_TRUE(host->logShows("Video client disconnected")) << host->log();
  ASSERT_EQ(spawns(2).size(), 2u) << host->log();
  EXPECT_TRUE(kernel.waitForDestroy(1, kDeadline));
  EXPECT_TRUE(kernel.waitForDestroy(0, kDeadline));
  EXPECT_TRUE(waitUntil(kDeadline, [&] { return !std::filesystem::exists("/proc/" + pids[0]); }));

  // The new helper has a gamepad of its own and was told who may use it.
  ASSERT_EQ(openDevice(2), "Xbox Wireless Controller") << host->log();
  EXPECT_EQ(kernel.deviceCount(), 3u);
  ASSERT_TRUE(host->logShows(listeningLine("gamepad xbox"), kDeadline)) << host->log();
  before = kernel.inputs(2).size();
  runClient(inputCommand("gamepad --buttons 1"));
  EXPECT_TRUE(reportArrives(2, before, pressesA)) << host->log();

  EXPECT_EQ(host->stop(), 0);
  EXPECT_TRUE(kernel.waitForDestroy(2));
}

}  // namespace
}  // namespace ferrowin::testing
