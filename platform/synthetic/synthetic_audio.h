#pragma once
// The synthetic audio backend: a continuous 440 Hz sine at -12 dBFS in every channel, 48 kHz
// float32 interleaved, delivered in 10 ms buffers paced in real time on a thread of its own. Each
// buffer's presentation time is the media-clock time its first sample is due.

#include "platform/audio_capture.h"

namespace ferrowin::platform {

class SyntheticAudioBackend final : public AudioCaptureBackend {
 public:
  static constexpr double kFrequency = 440.0;
  static constexpr double kAmplitude = 0.25118864315095801;  // -12 dBFS
  static constexpr int kSampleRate = 48000;
  static constexpr int kBufferFrames = 480;  // 10 ms

  std::string name() const override { return "synthetic"; }
  Expected<std::unique_ptr<AudioCaptureStream>, AudioCaptureError> start(
      int channels, AudioCaptureStream::Delegate delegate) override;
};

/// The tone's sample frames [first, first + frames) for `channels` channels, interleaved.
std::vector<float> syntheticToneFrames(uint64_t first, int frames, int channels);

}  // namespace ferrowin::platform
