// The streamer's audio half: the synthetic tone through the real Opus encoder, the statistics'
// session, audio off, and a sound server that cannot be reached (video goes on).

#include <gtest/gtest.h>

#include <condition_variable>

#include "platform/synthetic/synthetic_audio.h"
#include "platform/synthetic/synthetic_capture.h"
#include "server/capture/screen_streamer.h"
#include "tests/support/log_capture.h"

namespace ferrowin::capture {
namespace {

/// The boundary double: a sound server that is not there.
class UnreachableAudio final : public platform::AudioCaptureBackend {
 public:
  std::string name() const override { return "pulse"; }
  Expected<std::unique_ptr<platform::AudioCaptureStream>, platform::AudioCaptureError> start(
      int, platform::AudioCaptureStream::Delegate) override {
    ++starts;
    return tl::unexpected(platform::AudioCaptureError{
        platform::AudioCaptureError::Code::unavailable, "Connection refused"});
  }
  int starts = 0;
};

struct AudioOutput {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<video::Bytes> configs;
  std::vector<uint64_t> pts;
  bool waitForPackets(size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return pts.size() >= count; });
  }
};

class StreamerAudio : public ::testing::Test {
 protected:
  void make(std::shared_ptr<platform::AudioCaptureBackend> audio) {
    auto capture = std::make_shared<platform::SyntheticCaptureBackend>(
        platform::SyntheticCaptureBackend::defaultDisplays(), clock, clock);
    streamer = ScreenStreamer::create({.main = main,
                                       .mainTimers = clock,
                                       .clock = clock,
                                       .backend = capture,
                                       .audioBackend = std::move(audio)});
    streamer->setAudioStreamStats(stats);
    video::StreamSourceCallbacks callbacks;
    callbacks.onAudioConfig = [this](const video::Bytes& blob) {
      std::lock_guard guard(output.lock);
      output.configs.push_back(blob);
    };
    callbacks.onAudio = [this](const video::Bytes&, uint64_t pts) {
      std::lock_guard guard(output.lock);
      EXPECT_EQ(output.configs.size(), 3u) << "the configuration comes first";
      output.pts.push_back(pts);
      output.changed.notify_all();
    };
    streamer->setCallbacks(callbacks);
  }
  void start(bool audio, int channels = 2) {
    StreamConfig config;
    config.audioEnabled = audio;
    config.audioChannels = channels;
    streamer->start(config);
    main.poll();
    main.restart();
  }
  void TearDown() override {
    if (streamer) streamer->stop();
  }

  asio::io_context main;
  common::ManualClock clock;
  std::shared_ptr<audio::AudioStreamStats> stats = std::make_shared<audio::AudioStreamStats>();
  std::shared_ptr<ScreenStreamer> streamer;
  AudioOutput output;
};

TEST_F(StreamerAudio, ToneIsEncodedInto20msPacketsAfterTheConfiguration) {
  make(std::make_shared<platform::SyntheticAudioBackend>());
  start(true, 1);
  ASSERT_TRUE(output.waitForPackets(10));
  streamer->stop();
  std::lock_guard guard(output.lock);
  ASSERT_EQ(output.configs.size(), 3u);
  EXPECT_EQ(output.configs[0][9], 1);  // one channel
  for (size_t i = 1; i < output.pts.size(); ++i) EXPECT_EQ(output.pts[i] - output.pts[i - 1], 20000u);
  // Stamped on the media clock, like the video.
  const double now = common::SteadyClock::instance().now();
  EXPECT_NEAR(common::fromMicros(static_cast<int64_t>(output.pts.front())), now, 10.0);
  const auto window = stats->window();
  EXPECT_EQ(window.codec, "opus");
  EXPECT_GE(window.captures, 20);
  EXPECT_NEAR(window.peak, 0.2512, 0.01);
  EXPECT_EQ(window.captureFormat,
            "synthetic=48000Hz float32 interleaved ch=1 encode=48000Hz frame=960 resample=false");
  const size_t afterStop = output.pts.size();
  output.lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  output.lock.lock();
  EXPECT_EQ(output.pts.size(), afterStop);
}

TEST_F(StreamerAudio, AudioOffStartsNoCaptureAndSaysSo) {
  auto audio = std::make_shared<UnreachableAudio>();
  make(audio);
  stats->sessionStart("opus");
  start(false);
  EXPECT_EQ(audio->starts, 0);
  EXPECT_EQ(stats->window().codec, "off");
  EXPECT_EQ(audio::AudioStreamStats::hint(stats->window()), "audio disabled");
  EXPECT_TRUE(output.configs.empty());
}

TEST_F(StreamerAudio, UnreachableSoundServerLeavesVideoRunningWithOneLine) {
  testing::LogCapture log;
  auto audio = std::make_shared<UnreachableAudio>();
  make(audio);
  start(true);
  EXPECT_EQ(audio->starts, 1);
  EXPECT_TRUE(streamer->isRunning());
  EXPECT_TRUE(log.contains("Audio capture unavailable (sound server unavailable: Connection "
                           "refused); streaming video without sound"));
  EXPECT_EQ(audio::AudioStreamStats::hint(stats->window()),
            "no PulseAudio buffers — check system audio / sound server");
  // The stream keeps capturing pictures.
  EXPECT_EQ(streamer->selectedSourceId(), "display:1");
}

}  // namespace
}  // namespace ferrowin::capture
