#pragma once
// For system tests, demos and benchmarks: plays a continuous sine into a named sink of a sound
// server (PulseAudio or PipeWire's), from a thread of its own, until destroyed. Optionally calls
// back with the media-clock time each block was handed to the server, so a latency measurement can
// tell which played block a captured one is.

#include <functional>
#include <memory>
#include <string>

#include "common/util/expected.h"

namespace ferrowin::platform {

class PulseTonePlayer {
 public:
  struct Options {
    std::string server;  // empty: the usual lookup (PULSE_SERVER, the runtime socket)
    std::string sink;    // empty: the default sink
    double frequency = 440.0;
    double amplitude = 0.25118864315095801;  // -12 dBFS
    int channels = 2;
    /// What the server buffers ahead of playback; small keeps the tone's timing tight.
    double latencySeconds = 0.02;
  };

  static Expected<std::unique_ptr<PulseTonePlayer>, std::string> start(Options options);
  virtual ~PulseTonePlayer() = default;
  /// Switches the tone on (true) or to silence (false) from the next block on.
  virtual void setAudible(bool audible) = 0;
};

}  // namespace ferrowin::platform
