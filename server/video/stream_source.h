#pragma once
// What the video server and the transports need of the screen streamer: start it with the client's
// configuration, stop it, give it the statistics, and receive its output through six callbacks.
// The capture side implements it; tests use a scripted double.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/stream_config.h"
#include "protocol/wire.h"
#include "server/audio/audio_stream_stats.h"
#include "server/video/stream_stats.h"

namespace ferrowin::video {

struct StreamSourceCallbacks {
  /// Parameter sets (VPS, SPS, PPS) with the content size, before each keyframe. Capture queue.
  std::function<void(const std::vector<Bytes>& parameterSets, int width, int height)>
      onParameterSets;
  /// One encoded access unit, its keyframe flag and pts in µs. Capture queue.
  // Encoded data is handed over by value: the producer moves it along and the transport queues it
  // without another copy.
  std::function<void(Bytes data, bool keyframe, uint64_t pts)> onEncoded;
  /// The Opus configuration blob (three copies per capture session). Audio queue.
  std::function<void(Bytes config)> onAudioConfig;
  /// One Opus packet of 20 ms and its pts in µs. Audio queue.
  std::function<void(Bytes packet, uint64_t pts)> onAudio;
  /// Capture could not start or continue. Main executor.
  std::function<void(const std::string& text)> onError;
  /// The capture size after each successful start or source switch. Main executor.
  std::function<void(int width, int height)> onCaptureDimensionsChanged;
};

class VideoStreamSource {
 public:
  virtual ~VideoStreamSource() = default;
  /// Main executor. Returns at once; capture starts asynchronously.
  virtual void start(const capture::StreamConfig& config) = 0;
  /// Main executor (the transports also stop it from their queues through the main executor).
  virtual void stop() = 0;
  virtual void setCallbacks(StreamSourceCallbacks callbacks) = 0;
  virtual void setStreamStats(std::shared_ptr<VideoStreamStats> stats) = 0;
  virtual void setAudioStreamStats(std::shared_ptr<audio::AudioStreamStats> /*stats*/) {}
};

}  // namespace ferrowin::video
