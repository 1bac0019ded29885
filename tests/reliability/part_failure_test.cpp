// Parts of the real host's world failing under it while a client streams: the X server it captures
// goes away and comes back, the sound server goes away and comes back, the encoder cannot open,
// the disk is full when a pairing is saved. The host keeps serving through each, says what went
// wrong, and uses the part again once it is back. (The input helper killed mid-session is in
// tests/inputhelper_manager.) Each test prints what it saw and how long it took.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

#include "client/control/pairing.h"
#include "common/util/files.h"
#include "platform/linux/pulse_tone_player.h"
#include "tests/integration/paired_host.h"
#include "tests/integration/small_stream.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace ferrowin::testing {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class PartFailure : public ::testing::Test, protected PairedHost {
 protected:
  int status(const std::string& path) {
    auto answer = control->request("GET", path, "");
    return answer ? answer->status : -1;
  }
};

TEST_F(PartFailure, TheXServerGoesAwayMidStreamAndTheNextSessionUsesTheOneThatCameBack) {
  const std::vector<std::string> xvfb = {"-screen",   "0",   "1280x720x24",
                                         "-nolisten", "tcp", "-noreset"};
  std::optional<XServer> x(std::in_place, "Xvfb", xvfb);
  if (x->name().empty()) GTEST_SKIP() << x->error();
  const std::string display = x->name();
  ASSERT_NO_FATAL_FAILURE(start({{"DISPLAY", display}}, {"--capture", "x11"}));

  std::optional<client::UdpVideoClient> video(std::in_place, smallStream(*host));
  ASSERT_TRUE(video->start());
  // A still X screen is read once a second (nothing damages it), so a few frames will do.
  Received before = StreamReceiver(video->messages()).receive(20, [](const Received& r) {
    return r.frames >= 3;
  });
  ASSERT_GE(before.frames, 3) << host->log();

  // The X server goes: the host says why capture stopped, and keeps its control service and the
  // client's flow; the source list, which needs the display, is an error body.
  const auto killed = Clock::now();
  x.reset();
  ASSERT_TRUE(host->logShows("Capture stopped: ")) << host->log();
  const double noticed = secondsSince(killed);
  EXPECT_EQ(status("/v1/status"), 200);
  auto sources = control->request("GET", "/v1/capture/sources", "");
  ASSERT_TRUE(sources);
  EXPECT_EQ(sources->status, 500);
  EXPECT_NE(sources->body.find("\"error\":\"screen capture is unavailable"), std::string::npos)
      << sources->body;
  EXPECT_FALSE(host->exitStatus(0));

  // A new X server on the same display: the next session captures it.
  auto again = xvfb;
  again.insert(again.begin(), display);
  x.emplace("Xvfb", again);
  ASSERT_EQ(x->name(), display) << x->error();
  video.emplace(smallStream(*host));
  ASSERT_TRUE(video->start());
  Received after = StreamReceiver(video->messages()).receive(20, [](const Received& r) {
    return r.frames >= 3;
  });
  EXPECT_GE(after.frames, 3) << host->log();
  EXPECT_EQ(after.errors, 0) << after.firstError;
  EXPECT_EQ(status("/v1/capture/sources"), 200);
  std::printf(
      "X server gone: capture error logged %.2f s after the kill, control service up; "
      "a new X server on %s: the next session's first frame %.2f s after its hello\n",
      noticed, display.c_str(), after.firstFrameAt);
}

TEST_F(PartFailure, TheSoundServerGoesAwayAndTheNextSessionHasSoundAgain) {
  if (!PulseServer::installed()) GTEST_SKIP() << "pulseaudio is not installed";
  PulseServer pulse;
  ASSERT_TRUE(pulse.start()) << pulse.log();
  auto tone = [&] {
    auto player =
        platform::PulseTonePlayer::start({.server = pulse.address(), .sink = "ferrowin_a"});
    EXPECT_TRUE(player) << (player ? "" : player.error());
    return player ? std::move(*player) : nullptr;
  };
  auto player = tone();
  ASSERT_NO_FATAL_FAILURE(start({{"PULSE_SERVER", pulse.address()}}, {"--audio", "pulse"}));
  auto options = smallStream(*host);
  options.config.audioEnabled = true;

  std::optional<client::UdpVideoClient> video(std::in_place, options);
  ASSERT_TRUE(video->start());
  std::optional<StreamReceiver> receiver(std::in_place, video->messages());
  Received sound = receiver->receive(10, [](const Received& r) { return r.audioPeak() > 0.2; });
  ASSERT_GT(sound.audioPeak(), 0.2) << host->log();

  // The sound server goes: the picture goes on without sound.
  const auto killed = Clock::now();
  player.reset();
  pulse.stop();
  ASSERT_TRUE(host->logShows("Audio capture stopped (")) << host->log();
  const double noticed = secondsSince(killed);
  receiver->receive(0.5);  // what was on its way
  const Received without = receiver->receive(2);
  EXPECT_GE(without.frames, 30) << host->log();
  EXPECT_EQ(without.audioPackets, 0);

  // It comes back: the running session stays without sound (its recording ended with the
  // server), the next session records from the new server.
  ASSERT_TRUE(pulse.start()) << pulse.log();
  player = tone();
  const Received stillRunning = receiver->receive(2);
  EXPECT_EQ(stillRunning.audioPackets, 0);
  EXPECT_GE(stillRunning.frames, 30);
  const auto nextSession = Clock::now();
  receiver.reset();
  video.emplace(options);
  ASSERT_TRUE(video->start());
  // Sound and picture: the sound can come first while the encoder starts.
  Received again = StreamReceiver(video->messages()).receive(10, [](const Received& r) {
    return r.audioPeak() > 0.2 && r.frames > 0;
  });
  const double resumed = secondsSince(nextSession);
  EXPECT_GT(again.audioPeak(), 0.2) << host->log();
  EXPECT_GT(again.frames, 0);
  std::printf(
      "sound server gone: logged %.2f s after the kill, %d frames in the next 2 s without "
      "sound; the running session stays silent, the next one has picture and tone again after "
      "%.2f s (peak %.2f)\n",
      noticed, without.frames, resumed, again.audioPeak());
}

TEST_F(PartFailure, AnEncoderThatCannotOpenIsReportedAndTheHostServesTheNextSession) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto stream = [&](int width, int height) {
    return runClient(PairedHost::stream("--seconds 2 --width " + std::to_string(width) +
                                        " --height " + std::to_string(height) +
                                        " --fps 30 --bitrate 800"));
  };
  // 16 × 16 is smaller than libx265's smallest picture.
  const std::string tiny = stream(16, 16);
  EXPECT_NE(tiny.find("no frame was decoded"), std::string::npos) << tiny;
  EXPECT_TRUE(host->logShows("Failed to create HEVC encoder (status ")) << host->log();
  EXPECT_EQ(status("/v1/status"), 200);
  const std::string fine = stream(320, 180);
  EXPECT_NE(fine.find("size 320x180"), std::string::npos) << fine << host->log();
  EXPECT_EQ(fine.find("no frame was decoded"), std::string::npos) << fine;

  // With hardware encoding demanded on a machine without it, every session says so.
  if (host->log().find("Encoder: libx265") == std::string::npos) return;
  host->stop();
  host.emplace(HostProcess::Options{.dataDir = data.path(),
                                    .configDir = config.path(),
                                    .devAttestationRoot = authority.rootCertificatePath(),
                                    .port = host->port(),
                                    .arguments = {"--encoder", "hardware"}});
  ASSERT_TRUE(host->start()) << host->log();
  auto resumed = client::resumeWithHost(*control, state.path());
  ASSERT_TRUE(resumed) << resumed.error().description();
  const std::string hardware = stream(320, 180);
  EXPECT_NE(hardware.find("no frame was decoded"), std::string::npos) << hardware;
  EXPECT_TRUE(
      host->logShows("Failed to create HEVC encoder: hardware low-latency encoding is "
                     "unavailable on this computer (status "))
      << host->log();
  EXPECT_EQ(status("/v1/status"), 200);
}

// A small tmpfs mounted for the life of the object.
class Tmpfs {
 public:
  Tmpfs(const std::filesystem::path& at, const std::string& size) : at_(at) {
    std::filesystem::create_directories(at);
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

  /// Writes a file until the file system is full.
  void fill() {
    const int fd = ::open((at_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::vector<char> block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  void free() { std::filesystem::remove(at_ / "filler"); }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
};

TEST_F(PartFailure, ADiskFullWhenSavingAPairingIsAnErrorAndKeepsTheOldFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  // The host's own folder of the data directory on a 256 KiB file system.
  const auto folder = data.path() / "com.zavel.ferrowin.server";
  Tmpfs disk(folder, "256k");
  ASSERT_TRUE(disk.mounted()) << "mount failed: " << std::strerror(errno);
  ASSERT_NO_FATAL_FAILURE(start());
  const auto file = folder / "paired-clients.json";
  const auto before = common::readFile(file);
  ASSERT_TRUE(before);

  // A second client (the same development CA, a key of its own) pairs on a full disk.
  TempDir secondState;
  std::filesystem::copy(state.path() / "dev-ca", secondState.path() / "dev-ca",
                        std::filesystem::copy_options::recursive);
  auto second = client::attest::DevAttestAuthority::open(secondState.path(), true);
  ASSERT_TRUE(second);
  client::ControlClient secondControl({"127.0.0.1", host->port()}, secondState.path(), 10.0, true);
  const std::string code = host->pairingCode();
  disk.fill();
  auto failed = client::pairWithHost(secondControl, *second, secondState.path(), code);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().status, 500);
  EXPECT_NE(failed.error().message.find("Paired clients could not be saved: "), std::string::npos)
      << failed.error().description();
  EXPECT_NE(failed.error().message.find("No space left on device"), std::string::npos)
      << failed.error().description();
  EXPECT_TRUE(host->logShows("Paired clients could not be saved: "));
  EXPECT_EQ(common::readFile(file).value_or(""), *before);
  EXPECT_EQ(status("/v1/status"), 200);  // the first client is served as before

  // Room again: the same code (a failed pairing keeps it) pairs it, and the file holds both.
  disk.free();
  auto paired = client::pairWithHost(secondControl, *second, secondState.path(), code);
  ASSERT_TRUE(paired) << paired.error().description();
  const auto after = common::readFile(file);
  ASSERT_TRUE(after);
  EXPECT_EQ(std::count(after->begin(), after->end(), '{'), 3) << *after;  // the file and 2 clients
}

}  // namespace
}  // namespace ferrowin::testing
