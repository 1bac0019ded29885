#include "client/audio/audio_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

namespace ferrowin::client {

AudioPlayer::~AudioPlayer() { close(); }

Expected<void, std::string> AudioPlayer::open(int channels) {
  close();
  pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, 48000, static_cast<uint8_t>(channels)};
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(40000, &sampleFormat));
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  pa_simple* simple = pa_simple_new(nullptr, "ferrowin-client", PA_STREAM_PLAYBACK, nullptr,
                                    "Ferrowin stream", &sampleFormat, nullptr, &attr, &error);
  if (!simple) return tl::unexpected(std::string("cannot play audio: ") + pa_strerror(error));
  simple_ = simple;
  channels_ = channels;
  closing_ = false;
  thread_ = std::thread([this] { run(); });
  return {};
}

void AudioPlayer::play(std::span<const float> samples) {
  if (!thread_.joinable() || samples.empty()) return;
  {
    std::lock_guard guard(mutex_);
    const size_t limit = static_cast<size_t>(48000 / 5 * channels_);  // 200 ms
    if (queuedSamples_ + samples.size() > limit) return;
    queue_.emplace_back(samples.begin(), samples.end());
    queuedSamples_ += samples.size();
  }
  wake_.notify_one();
}

void AudioPlayer::run() {
  auto* simple = static_cast<pa_simple*>(simple_);
  for (;;) {
    std::vector<float> block;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      block = std::move(queue_.front());
      queue_.pop_front();
      queuedSamples_ -= block.size();
    }
    int error = 0;
    if (pa_simple_write(simple, block.data(), block.size() * sizeof(float), &error) < 0) return;
  }
}

void AudioPlayer::close() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  thread_.join();
  int error = 0;
  pa_simple_drain(static_cast<pa_simple*>(simple_), &error);
  pa_simple_free(static_cast<pa_simple*>(simple_));
  simple_ = nullptr;
  queue_.clear();
  queuedSamples_ = 0;
}

}  // namespace ferrowin::client
