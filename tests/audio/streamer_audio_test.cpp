// The streamer with audio off: no capture is started and the statistics say so. (The tone through
// the real encoder, and a sound server that cannot be reached, run end to end in the integration
// tests.)

#include <gtest/gtest.h>

#include "platform/synthetic/synthetic_capture.h"
#include "server/capture/screen_streamer.h"

namespace ferrowin::capture {
namespace {

/// The boundary double: counts the captures asked of it.
class CountingAudio final : public platform::AudioCaptureBackend {
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

TEST(StreamerAudio, AudioOffStartsNoCaptureAndSaysSo) {
  asio::io_context main;
  common::ManualClock clock;
  auto audio = std::make_shared<CountingAudio>();
  auto stats = std::make_shared<audio::AudioStreamStats>();
  auto streamer = ScreenStreamer::create(
      {.main = main,
       .mainTimers = clock,
       .clock = clock,
       .backend = std::make_shared<platform::SyntheticCaptureBackend>(
           platform::SyntheticCaptureBackend::defaultDisplays(), clock, clock),
       .audioBackend = audio});
  streamer->setAudioStreamStats(stats);
  int configs = 0;
  video::StreamSourceCallbacks callbacks;
  callbacks.onAudioConfig = [&](const video::Bytes&) { ++configs; };
  streamer->setCallbacks(callbacks);
  stats->sessionStart("opus");
  StreamConfig config;
  config.audioEnabled = false;
  streamer->start(config);
  main.poll();
  EXPECT_EQ(audio->starts, 0);
  EXPECT_EQ(stats->window().codec, "off");
  EXPECT_EQ(audio::AudioStreamStats::hint(stats->window()), "audio disabled");
  EXPECT_EQ(configs, 0);
  streamer->stop();
}

}  // namespace
}  // namespace ferrowin::capture
