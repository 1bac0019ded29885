#pragma once
// Turns captured system audio into Opus packets with microsecond timestamps, plus the
// configuration blob (the layout of the Ogg Opus identification header) a client sets its decoder
// up from. Input of any rate, sample kind, layout or channel count is converted to 48 kHz float32
// interleaved with the configured channel count (libswresample, only when the input is not already
// that), cut into 20 ms frames and encoded with libopus in its restricted low-delay mode.
//
// Packet timestamps start at the first buffer's presentation time and advance by exactly 20 000 µs
// per packet, whatever later buffers say, so gaps in capture never show as gaps in pts.
//
// Not thread-safe: encode, sendConfigOnce and reset run on the streamer's audio queue only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_capture.h"
#include "server/audio/audio_stream_stats.h"

namespace ferrowin::audio {

using Bytes = std::vector<uint8_t>;

class OpusEncoder {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int kFrameSamples = 960;  // 20 ms
  static constexpr uint64_t kFrameMicros = 20000;
  static constexpr int kMaxPacketBytes = 4096;
  static constexpr int kPreSkip = 312;
  static constexpr int kMinBitrateKbps = 16;

  /// `captureName` starts the capture format summary ("pulse", "synthetic").
  OpusEncoder(int channels, int bitrateKbps, std::string captureName = "pulse");
  ~OpusEncoder();
  OpusEncoder(const OpusEncoder&) = delete;
  OpusEncoder& operator=(const OpusEncoder&) = delete;

  std::function<void(const Bytes& config)> onConfig;
  std::function<void(Bytes packet, uint64_t ptsMicros)> onAudio;
  void setStats(std::weak_ptr<AudioStreamStats> stats) { stats_ = std::move(stats); }

  int channels() const { return channels_; }
  /// The bitrate given to libopus, in kbit/s (the configured one, at least 16).
  int bitrateKbps() const { return bitrateKbps_; }

  /// The 19-byte configuration blob for `channels`.
  static Bytes configurationBlob(int channels);

  /// Emits the configuration (three copies) unless this encoder already has.
  void sendConfigOnce();
  void encode(const platform::AudioSampleBuffer& buffer);
  /// Destroys the libopus encoder and forgets the configuration, pending samples and pts.
  void reset();

  /// Sample frames waiting for a whole 20 ms frame.
  size_t pendingFrames() const;

 private:
  struct Codec;
  struct Converter;
  void skip(const std::string& reason);
  /// `buffer` as 48 kHz float32 interleaved with `channels_` channels; empty when nothing came out.
  const std::vector<float>& convert(const platform::AudioSampleBuffer& buffer);
  std::string captureSummary(const platform::AudioFormat& format) const;

  const int channels_;
  const int bitrateKbps_;
  const std::string captureName_;
  std::weak_ptr<AudioStreamStats> stats_;

  std::unique_ptr<Converter> converter_;
  bool loggedCaptureFormat_ = false;
  std::unique_ptr<Codec> codec_;
  bool sentConfig_ = false;
  std::vector<float> converted_;
  std::vector<float> pendingPcm_;
  std::optional<uint64_t> nextPtsUsec_;
};

}  // namespace ferrowin::audio
