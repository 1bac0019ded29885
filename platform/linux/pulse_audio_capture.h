#pragma once
// PulseAudio capture of what the computer plays: the monitor source of the default sink, recorded
// as 48 kHz float32 with the requested channel count. A change of the default sink moves capture
// to the new sink's monitor. Capture asks for ~10 ms fragments (adjusted latency), and each
// buffer's presentation time is the read time minus the latency the server reports for it.
// Works unchanged against PipeWire's PulseAudio server. The server is found the usual libpulse way
// (PULSE_SERVER, then the user's runtime socket); no server is ever spawned.

#include "platform/audio_capture.h"

namespace ferrowin::platform {

class PulseAudioBackend final : public AudioCaptureBackend {
 public:
  std::string name() const override { return "pulse"; }
  /// Fails with `unavailable` when no sound server answers.
  Expected<std::unique_ptr<AudioCaptureStream>, AudioCaptureError> start(
      int channels, AudioCaptureStream::Delegate delegate) override;
};

}  // namespace ferrowin::platform
