#pragma once
// System audio capture: a stream of sample buffers for a requested channel count. Each buffer
// carries its own format and the presentation time of its first sample frame, in seconds of the
// media clock (the clock of the video presentation times), so a client on the same machine can
// measure capture-to-played latency and the offset between sound and picture.
//
// Backends: PulseAudio, the monitor of the default sink (platform/linux), and a synthetic 440 Hz
// tone (platform/synthetic) for the synthetic capture source, tests and benchmarks.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::platform {

enum class AudioSampleKind { floatingPoint, signedInteger, other };

struct AudioFormat {
  int sampleRate = 0;
  AudioSampleKind kind = AudioSampleKind::floatingPoint;
  int bitsPerChannel = 0;
  bool interleaved = true;
  int channels = 0;
  bool operator==(const AudioFormat&) const = default;
};

struct AudioSampleBuffer {
  AudioFormat format;
  int frames = 0;
  /// One plane of frames × channels samples when interleaved, else one plane per channel.
  std::vector<std::vector<uint8_t>> planes;
  /// Presentation time of the first sample frame, seconds of the media clock.
  double presentationTime = 0;

  /// A format with a rate, channels and whole bytes per sample, and planes that hold exactly
  /// `frames` sample frames of it.
  bool valid() const;
};

struct AudioCaptureError {
  enum class Code {
    unavailable,  // no sound server could be reached
    failed,       // anything else; `detail` says what
  };
  Code code = Code::failed;
  std::string detail;
  std::string description() const;
};

class AudioCaptureStream {
 public:
  struct Delegate {
    /// Every captured buffer, on the backend's own thread.
    std::function<void(AudioSampleBuffer)> onBuffer;
    /// Once, on the backend's own thread, when capture stops without being asked to.
    std::function<void(const AudioCaptureError&)> onStop;
  };
  /// Stops capture: no delegate call starts after the destructor returns. Must not be destroyed
  /// from a delegate call.
  virtual ~AudioCaptureStream() = default;
};

class AudioCaptureBackend {
 public:
  virtual ~AudioCaptureBackend() = default;
  /// The name the capture format summary starts with ("pulse", "synthetic").
  virtual std::string name() const = 0;
  /// Starts capturing `channels` channels; buffers flow until the stream is destroyed.
  [[nodiscard]] virtual Expected<std::unique_ptr<AudioCaptureStream>, AudioCaptureError> start(
      int channels, AudioCaptureStream::Delegate delegate) = 0;
};

}  // namespace ferrowin::platform
