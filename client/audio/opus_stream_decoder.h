#pragma once
// The client's half of the host's audio: the configuration message (the 19-byte identification
// header, "OpusHead" first) sets up a libopus decoder for its channel count and pre-skip, and
// each audio packet decodes to 20 ms of 48 kHz float samples, interleaved. Repeated copies of the
// same configuration change nothing. Bytes from the network are checked before use. Not
// thread-safe: one thread feeds it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/video/hevc_decoder.h"
#include "common/util/expected.h"
#include "protocol/wire.h"

namespace ferrowin::client {

struct OpusHead {
  int channels = 0;
  int preSkip = 0;
  uint32_t inputSampleRate = 0;
  bool operator==(const OpusHead&) const = default;
};

/// Parses the configuration blob: at least 19 bytes, "OpusHead", version 1, channel mapping
/// family 0 with 1 or 2 channels.
[[nodiscard]] Expected<OpusHead, std::string> parseOpusHead(video::ByteView bytes);

class OpusStreamDecoder {
 public:
  static constexpr int kSampleRate = 48000;

  OpusStreamDecoder();
  ~OpusStreamDecoder();
  OpusStreamDecoder(const OpusStreamDecoder&) = delete;
  OpusStreamDecoder& operator=(const OpusStreamDecoder&) = delete;

  /// A configuration message. A different one replaces the decoder (and its pre-skip).
  [[nodiscard]] Expected<void, std::string> configure(video::ByteView payload);
  /// One packet: its samples after the pre-skip still owed (possibly none), interleaved. An error
  /// for a packet before any configuration or one libopus refuses.
  [[nodiscard]] Expected<std::span<const float>, std::string> decode(video::ByteView packet);

  const std::optional<OpusHead>& head() const { return head_; }
  int channels() const { return head_ ? head_->channels : 0; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::optional<OpusHead> head_;
  int skipLeft_ = 0;
  std::vector<float> pcm_;
};

/// Audio packets, decode errors, packets missing (gaps in the 20 ms pts steps), peak level and
/// capture-to-decoded latency, for one window and in total.
class AudioStats {
 public:
  struct Summary {
    uint64_t packets = 0;
    uint64_t errors = 0;
    uint64_t missing = 0;
    float peak = 0;
    double p50 = 0, p95 = 0, p99 = 0;  // ms; 0 without packets
  };
  void recordPacket(uint64_t pts, double latencyMs, std::span<const float> samples);
  void recordError();
  Summary takeWindow();
  Summary total() const;

 private:
  static Summary summarize(const DecodeStats::Summary& latencies, uint64_t missing, float peak);
  DecodeStats latencies_;
  std::optional<uint64_t> expectedPts_;
  uint64_t windowMissing_ = 0, totalMissing_ = 0;
  float windowPeak_ = 0, totalPeak_ = 0;
};

}  // namespace ferrowin::client
