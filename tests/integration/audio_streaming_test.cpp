// System audio end to end, against a private PulseAudio server started by the test: a tone played
// into the default sink reaches the client at its frequency and level on UDP and TCP, in mono and
// stereo, and a change of the default sink mid-stream moves capture with it; without a sound
// server the picture still streams and the statistics say why there is no sound; a client that
// plays the sound sends it to its own sound server. The picture of each transport (UDP/ARQ and
// TCP) is decoded frame by frame along the way.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "common/util/files.h"
#include "platform/linux/pulse_tone_player.h"
#include "tests/integration/paired_host.h"
#include "tests/integration/small_stream.h"
#include "tests/support/pulse_server.h"
#include "tests/support/run_command.h"

namespace ferrowin::testing {
namespace {

struct Tone {
  double frequency = 0;
  double peak = 0;
};

/// The first channel's frequency and peak. The frequency comes from the median time between
/// rising zero crossings, so a few glitches (a sound server starved on a busy machine) do not
/// move it.
Tone analyze(const std::vector<float>& samples, int channels) {
  Tone tone;
  std::vector<double> periods;
  double lastRise = -1;
  const size_t frames = samples.size() / static_cast<size_t>(channels);
  for (size_t i = 0; i < frames; ++i) {
    const float value = samples[i * static_cast<size_t>(channels)];
    tone.peak = std::max(tone.peak, static_cast<double>(std::fabs(value)));
    const float previous = i > 0 ? samples[(i - 1) * static_cast<size_t>(channels)] : 0;
    if (i > 0 && previous < 0 && value >= 0) {
      const double rise = static_cast<double>(i) - value / (value - previous);  // interpolated
      if (lastRise >= 0) periods.push_back(rise - lastRise);
      lastRise = rise;
    }
  }
  if (!periods.empty()) {
    std::nth_element(periods.begin(), periods.begin() + static_cast<ptrdiff_t>(periods.size() / 2),
                     periods.end());
    tone.frequency = 48000.0 / periods[periods.size() / 2];
  }
  return tone;
}

class AudioHost : public ::testing::Test, protected PairedHost {
 protected:
  void SetUp() override {
    if (!PulseServer::installed()) GTEST_SKIP() << "pulseaudio is not installed";
  }

  /// Starts the host with `arguments` and the sound server `pulseServer`, and pairs.
  void startHost(const std::string& transport, const std::string& pulseServer,
                 std::vector<std::string> arguments = {"--audio", "pulse"}) {
    ASSERT_TRUE(common::writeFileAtomically(
        config / "settings.json",
        "{\"ferrowin.video.diagnostics\":true,\"ferrowin.video.transport\":\"" + transport +
            "\"}"));
    start({{"PULSE_SERVER", pulseServer}}, std::move(arguments));
  }

  client::VideoClientOptions clientOptions(int channels) {
    client::VideoClientOptions options = smallStream(*host);
    options.config.audioEnabled = true;
    options.config.audioChannels = channels;
    return options;
  }
};

std::unique_ptr<platform::PulseTonePlayer> playTone(const PulseServer& pulse,
                                                    const std::string& sink, double frequency) {
  auto player = platform::PulseTonePlayer::start(
      {.server = pulse.address(), .sink = sink, .frequency = frequency});
  EXPECT_TRUE(player) << (player ? "" : player.error());
  return player ? std::move(*player) : nullptr;
}

class AudioTone : public AudioHost,
                  public ::testing::WithParamInterface<std::tuple<std::string, int>> {};

// A tone in each of two sinks. Two seconds of sound from the default sink, then the default
// moves to the other one and the first tone stops, so a capture left on the old sink would hear
// silence (and a moved player would not be mistaken for a moved capture).
TEST_P(AudioTone, ToneInTheDefaultSinkArrivesAtItsFrequencyAndLevelAndCaptureFollowsTheDefault) {
  const auto [transport, channels] = GetParam();
  PulseServer pulse;
  ASSERT_TRUE(pulse.start()) << pulse.log();
  auto first = playTone(pulse, "ferrowin_a", 440);
  auto other = playTone(pulse, "ferrowin_b", 660);
  ASSERT_TRUE(first && other);
  ASSERT_NO_FATAL_FAILURE(startHost(transport, pulse.address()));

  const size_t second = 48000 * static_cast<size_t>(channels);  // samples in a second of sound
  size_t switchedAt = 0;
  const auto receive = [&](auto&& video) {
    EXPECT_TRUE(video.start());
    return StreamReceiver(video.messages()).receive(7.0, [&](const Received& r) {
      if (switchedAt == 0 && r.samples.size() >= 2 * second) {
        switchedAt = r.samples.size();
        first.reset();
        EXPECT_TRUE(pulse.pactl({"set-default-sink", "ferrowin_b"}));
      }
      return false;
    });
  };
  const Received received = transport == "tcp"
                                ? receive(client::TcpVideoClient(clientOptions(channels)))
                                : receive(client::UdpVideoClient(clientOptions(channels)));
  ASSERT_EQ(received.audioConfigs.size(), 3u) << host->log();
  EXPECT_EQ(received.audioConfigs[0][9], channels);
  EXPECT_EQ(received.errors, 0) << received.firstError;
  // 50 a second, once the sound server delivers (a null sink's monitor can take a second).
  EXPECT_GT(received.audioPackets, 100) << host->log();
  EXPECT_GT(received.frames, 10);
  EXPECT_EQ(received.width, 320);
  // The second before the move: 440 Hz at -12 dBFS (within 1 dB); the last second: 660 Hz.
  ASSERT_GT(switchedAt, second);
  ASSERT_GT(received.samples.size(), switchedAt + 2 * second);
  const auto at = [&](size_t end) {
    return received.samples.begin() + static_cast<ptrdiff_t>(end);
  };
  const Tone before = analyze({at(switchedAt - second), at(switchedAt)}, channels);
  EXPECT_NEAR(before.frequency, 440, 5);
  EXPECT_NEAR(20 * std::log10(before.peak), -12, 1.0);
  const Tone after =
      analyze({at(received.samples.size() - second), received.samples.end()}, channels);
  EXPECT_NEAR(after.frequency, 660, 5) << host->log();
  EXPECT_NEAR(20 * std::log10(after.peak), -12, 1.0);
  EXPECT_NE(host->log().find("Capturing system audio from ferrowin_a.monitor"), std::string::npos);
  EXPECT_NE(host->log().find("Capturing system audio from ferrowin_b.monitor"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(TransportsAndChannels, AudioTone,
                         ::testing::Combine(::testing::Values("udp_arq", "tcp"),
                                            ::testing::Values(1, 2)),
                         [](const auto& test) {
                           return std::get<0>(test.param) + "_" +
                                  std::to_string(std::get<1>(test.param)) + "ch";
                         });

TEST_F(AudioHost, WithoutASoundServerVideoStillStreamsAndTheHintSaysWhy) {
  ASSERT_NO_FATAL_FAILURE(startHost("udp_arq", "unix:" + (data / "no-such-socket").string()));
  client::UdpVideoClient video(clientOptions(2));
  ASSERT_TRUE(video.start());
  const Received received = StreamReceiver(video.messages()).receive(3.0);
  EXPECT_GT(received.frames, 10) << host->log();
  EXPECT_EQ(received.audioPackets, 0);
  const std::string log = host->log();
  EXPECT_NE(log.find("Audio capture unavailable (sound server unavailable: "), std::string::npos)
      << log;
  EXPECT_NE(log.find("hint=no PulseAudio buffers — check system audio / sound server"),
            std::string::npos)
      << log;
}

TEST_F(AudioHost, PlayingClientSendsTheHostsSoundToItsSoundServer) {
  PulseServer pulse;
  ASSERT_TRUE(pulse.start()) << pulse.log();
  // The host's own 440 Hz tone: without --audio the synthetic sound goes with the synthetic
  // picture (a host capturing the sink the client plays into would hear nothing but itself).
  ASSERT_NO_FATAL_FAILURE(startHost("udp_arq", pulse.address(), {}));
  const std::filesystem::path recording = data.path() / "played.raw";
  // What the client plays lands in the default sink; its monitor is recorded meanwhile.
  std::thread recorder([&] {
    runCommand("timeout 7 pacat --server='" + pulse.address() +
               "' --record --raw --format=float32le --rate=48000 --channels=1"
               " --device=ferrowin_a.monitor > '" +
               recording.string() + "'");
  });
  const std::string output = runCommand(
      "PULSE_SERVER='" + pulse.address() + "' " +
      (serverBinary().parent_path() / "ferrowin-client").string() + " " +
      stream("--seconds 4 --width 320 --height 180 --fps 30 --bitrate 800 --audio --play 2>&1"));
  recorder.join();
  EXPECT_NE(output.find("total messages="), std::string::npos) << output << host->log();

  const auto bytes = common::readFile(recording);
  ASSERT_TRUE(bytes) << output;
  std::vector<float> samples(bytes->size() / sizeof(float));
  std::memcpy(samples.data(), bytes->data(), samples.size() * sizeof(float));
  // The last second of sound the client played (the recording runs on past its end).
  auto last = std::find_if(samples.rbegin(), samples.rend(),
                           [](float value) { return std::fabs(value) > 0.01f; });
  const auto end = last.base();
  ASSERT_GT(end - samples.begin(), 48000) << output;
  const Tone heard = analyze(std::vector<float>(end - 48000, end), 1);
  EXPECT_NEAR(heard.frequency, 440, 5) << output;
  EXPECT_NEAR(20 * std::log10(heard.peak), -12, 1.0) << output;
}

}  // namespace
}  // namespace ferrowin::testing
