#pragma once
// Plays decoded audio through the sound server (PulseAudio or PipeWire's PulseAudio server) on a
// thread of its own, so a slow sound server never holds up decoding. Samples that pile up beyond
// 200 ms are dropped rather than played late.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::client {

class AudioPlayer {
 public:
  AudioPlayer() = default;
  ~AudioPlayer();
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  /// Connects a playback stream of 48 kHz float32 with `channels` channels.
  [[nodiscard]] Expected<void, std::string> open(int channels);
  bool isOpen() const { return thread_.joinable(); }
  int channels() const { return channels_; }
  void play(std::span<const float> samples);
  void close();

 private:
  void run();
  void* simple_ = nullptr;  // pa_simple
  int channels_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<float>> queue_;
  size_t queuedSamples_ = 0;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace ferrowin::client
