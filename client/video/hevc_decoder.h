#pragma once
// Decodes the host's HEVC stream as it arrives: parameter-set messages are kept and put in front of
// the next keyframe, each frame message (length-prefixed NAL units) becomes one Annex B packet, and
// the decoder is set up to return every picture from the packet that carries it, with no frames of
// delay. Not thread-safe: one thread feeds it.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "protocol/wire.h"

namespace ferrowin::client {

struct DecodedPicture {
  int width = 0;
  int height = 0;
  uint64_t pts = 0;
};

/// Decoded frames, decode errors and capture-to-decoded latencies, for one window and in total.
class DecodeStats {
 public:
  struct Summary {
    uint64_t frames = 0;
    uint64_t errors = 0;
    double p50 = 0, p95 = 0, p99 = 0;  // ms; 0 without frames
  };
  void recordFrame(double latencyMs);
  void recordError() { ++windowErrors_, ++totalErrors_; }
  /// The window since the last call, which starts a new one.
  Summary takeWindow();
  Summary total() const;

 private:
  static Summary summarize(std::vector<double> latencies, uint64_t errors);
  std::vector<double> window_, all_;
  uint64_t windowErrors_ = 0, totalErrors_ = 0;
};

class HevcStreamDecoder {
 public:
  HevcStreamDecoder();
  ~HevcStreamDecoder();
  HevcStreamDecoder(const HevcStreamDecoder&) = delete;
  HevcStreamDecoder& operator=(const HevcStreamDecoder&) = delete;

  [[nodiscard]] Expected<void, std::string> open();
  /// A parameter-set message payload; a payload that does not parse is an error.
  [[nodiscard]] Expected<void, std::string> setParameterSets(video::ByteView payload);
  /// One frame message. The picture it completes, or an error (bad framing, a frame before any
  /// parameter sets, or the decoder's refusal).
  [[nodiscard]] Expected<DecodedPicture, std::string> decode(video::ByteView payload, bool keyframe,
                                                             uint64_t pts);

  /// The last decoded picture's luma plane, width × height bytes without padding.
  std::vector<uint8_t> luma() const;
  /// Writes the last decoded picture as an 8-bit RGB PNG.
  [[nodiscard]] Expected<void, std::string> writePng(const std::filesystem::path& path) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::vector<std::vector<uint8_t>> parameterSets_;
  bool sentParameterSets_ = false;
};

}  // namespace ferrowin::client
