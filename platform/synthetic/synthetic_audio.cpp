#include "platform/synthetic/synthetic_audio.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numbers>
#include <thread>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"

namespace ferrowin::platform {

std::vector<float> syntheticToneFrames(uint64_t first, int frames, int channels) {
  std::vector<float> samples(static_cast<size_t>(frames) * static_cast<size_t>(channels));
  // The phase is taken modulo one period of 440 Hz at 48 kHz (1200 frames = 11 cycles), so it
  // stays exact however long the tone runs.
  constexpr uint64_t kPeriod = 1200;
  for (int i = 0; i < frames; ++i) {
    const double phase = static_cast<double>((first + static_cast<uint64_t>(i)) % kPeriod) *
                         SyntheticAudioBackend::kFrequency / SyntheticAudioBackend::kSampleRate;
    const auto value = static_cast<float>(SyntheticAudioBackend::kAmplitude *
                                          std::sin(2 * std::numbers::pi * phase));
    for (int c = 0; c < channels; ++c) samples[static_cast<size_t>(i * channels + c)] = value;
  }
  return samples;
}

namespace {

class SyntheticAudioStream final : public AudioCaptureStream {
 public:
  SyntheticAudioStream(int channels, Delegate delegate)
      : channels_(channels), delegate_(std::move(delegate)) {
    thread_ = std::thread([this] { run(); });
  }
  ~SyntheticAudioStream() override {
    {
      std::lock_guard guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    common::nameCurrentThread("com.zavel.ferrowin.audio.synthetic");
    const common::Clock& clock = common::SteadyClock::instance();
    // Buffer n is due when its last sample has been "played": start + (n + 1) × 10 ms. Deadlines
    // are absolute, so the rate never drifts; a late wake-up catches up without skipping samples.
    const double start = clock.now();
    const double bufferSeconds =
        static_cast<double>(SyntheticAudioBackend::kBufferFrames) / SyntheticAudioBackend::kSampleRate;
    uint64_t frame = 0;
    for (uint64_t n = 0;; ++n) {
      const double due = start + static_cast<double>(n + 1) * bufferSeconds;
      {
        std::unique_lock lock(mutex_);
        const auto wait = std::chrono::duration<double>(std::max(due - clock.now(), 0.0));
        if (wake_.wait_for(lock, wait, [this] { return stopping_; })) return;
      }
      AudioSampleBuffer buffer;
      buffer.format = {SyntheticAudioBackend::kSampleRate, AudioSampleKind::floatingPoint, 32, true,
                       channels_};
      buffer.frames = SyntheticAudioBackend::kBufferFrames;
      const auto samples = syntheticToneFrames(frame, buffer.frames, channels_);
      buffer.planes.emplace_back(samples.size() * sizeof(float));
      std::memcpy(buffer.planes[0].data(), samples.data(), buffer.planes[0].size());
      buffer.presentationTime = start + static_cast<double>(n) * bufferSeconds;
      frame += static_cast<uint64_t>(buffer.frames);
      if (delegate_.onBuffer) delegate_.onBuffer(std::move(buffer));
    }
  }

  const int channels_;
  const Delegate delegate_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

Expected<std::unique_ptr<AudioCaptureStream>, AudioCaptureError> SyntheticAudioBackend::start(
    int channels, AudioCaptureStream::Delegate delegate) {
  if (channels < 1 || channels > 255) {
    return tl::unexpected(AudioCaptureError{AudioCaptureError::Code::failed,
                                            "unsupported channel count " + std::to_string(channels)});
  }
  return std::make_unique<SyntheticAudioStream>(channels, std::move(delegate));
}

}  // namespace ferrowin::platform
