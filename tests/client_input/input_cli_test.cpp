// ferrowin-client input, run as the real binary against a loopback socket that plays the host's
// input port: the bytes it sends are what the helper's classifier expects. Below it, the limits of
// the sequence counter.

#include <gtest/gtest.h>
#include <poll.h>

#include <asio/ip/udp.hpp>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "client/input/input_sender.h"
#include "inputhelper/packets.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

using namespace inputhelper;

struct CliRun {
  std::string output;
  int exitCode = -1;
};

// The host's input port on 127.0.0.1, and the client run against it.
class InputCli : public ::testing::Test {
 protected:
  // Runs `input <arguments>` in the background, at the control port whose input port this is.
  std::future<CliRun> start(const std::string& arguments) {
    const std::string command = FERROWIN_BINARY_DIR "/bin/ferrowin-client --state-dir " +
                                state.path().string() + " input " + arguments +
                                " --host 127.0.0.1 --port " +
                                std::to_string(inputPort.local_endpoint().port() - 2) + " 2>&1";
    return std::async(std::launch::async, [command] {
      CliRun run;
      run.output = testing::runCommand(command, &run.exitCode);
      return run;
    });
  }

  std::optional<std::vector<uint8_t>> receive(int timeoutMs = 10000) {
    pollfd entry{inputPort.native_handle(), POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return std::nullopt;
    std::vector<uint8_t> buffer(2048);
    std::error_code error;
    buffer.resize(inputPort.receive(asio::buffer(buffer), 0, error));
    if (error) return std::nullopt;
    return buffer;
  }

  template <class Packet>
  Packet sent(const std::string& arguments) {
    auto finished = start(arguments);
    auto datagram = receive();
    const CliRun result = finished.get();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(datagram.has_value()) << result.output;
    if (!datagram) return {};
    auto packet = classifyDatagram(*datagram);
    EXPECT_TRUE(packet && std::holds_alternative<Packet>(*packet)) << result.output;
    if (!packet || !std::holds_alternative<Packet>(*packet)) return {};
    return std::get<Packet>(*packet);
  }

  testing::TempDir state;
  asio::io_context io;
  asio::ip::udp::socket inputPort{io, {asio::ip::address_v4::loopback(), 0}};
};

// Each option lands in its field, and the sequence counts across runs (the look stick and rumble
// run end to end in the integration tests).
TEST_F(InputCli, EachKindSendsWhatTheHelperClassifiesAndBadValuesNothing) {
  auto pad = sent<VirtualGamepadPacket>(
      "gamepad --buttons 4097 --hat 2 --lx 0 --ly 255 --rx 10 --ry 20 --lt 30 --rt 40");
  EXPECT_EQ(pad.sequence, 0u);  // the first datagram of a fresh state directory
  EXPECT_EQ(pad.report, (VirtualGamepadInputReport{4097, 2, 0, 255, 10, 20, 30, 40}));

  auto absolute = sent<VirtualMousePacket>("mouse --x 65535 --y 100 --left --middle --wheel -3");
  EXPECT_EQ(absolute.flags, 0x09);
  EXPECT_EQ(absolute.x, 65535);
  EXPECT_EQ(absolute.wheel, -3);
  auto relative = sent<VirtualMousePacket>("mouse --relative --x -300 --y 40 --right");
  EXPECT_EQ(relative.flags, 0x06);
  EXPECT_EQ(static_cast<int16_t>(relative.x), -300);

  auto up = sent<VirtualKeyPacket>("key --code 56 --up --flags 3");
  EXPECT_EQ(up.flags, 2);
  EXPECT_EQ(up.keyCode, 56);
  auto text = sent<VirtualTextPacket>("text 'Grüße, world'");
  EXPECT_EQ(text.text, "Grüße, world");
  EXPECT_EQ(text.sequence, 4u);

  // Bad values are refused before anything is sent.
  for (const char* arguments : {"mouse --x 70000", "mouse --relative --x 40000", "mouse --x -1",
                                "gamepad --hat 9", "gamepad --lx 256", "text ''"}) {
    const CliRun result = start(arguments).get();
    EXPECT_NE(result.exitCode, 0) << arguments;
    EXPECT_FALSE(result.output.empty()) << arguments;
    EXPECT_FALSE(receive(0).has_value()) << arguments;
  }
}

TEST(InputSequence, WrapsAndRestartsAtZeroWithoutAUsableCounter) {
  testing::TempDir dir;
  std::ofstream(dir / "input-sequence") << "4294967295\n";
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u);
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 1u);
  for (const char* unusable : {"garbage", "99999999999"}) {
    std::ofstream(dir / "input-sequence") << unusable;
    EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u) << unusable;
  }
}

}  // namespace
}  // namespace ferrowin::client
