#include "client/audio/opus_stream_decoder.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ferrowin::client {

namespace {
constexpr int kMaxFrameSamples = 5760;  // 120 ms at 48 kHz: the longest Opus packet
constexpr uint64_t kPacketMicros = 20000;
}  // namespace

Expected<OpusHead, std::string> parseOpusHead(video::ByteView bytes) {
  if (bytes.size() < 19) return tl::unexpected(std::string("audio configuration too short"));
  if (std::memcmp(bytes.data(), "OpusHead", 8) != 0) {
    return tl::unexpected(std::string("audio configuration is not OpusHead"));
  }
  if (bytes[8] != 1) return tl::unexpected(std::string("unknown OpusHead version"));
  OpusHead head;
  head.channels = bytes[9];
  head.preSkip = bytes[10] | bytes[11] << 8;
  head.inputSampleRate = static_cast<uint32_t>(bytes[12]) | static_cast<uint32_t>(bytes[13]) << 8 |
                         static_cast<uint32_t>(bytes[14]) << 16 |
                         static_cast<uint32_t>(bytes[15]) << 24;
  if (bytes[18] != 0) return tl::unexpected(std::string("unsupported channel mapping family"));
  if (head.channels < 1 || head.channels > 2) {
    return tl::unexpected("unsupported channel count " + std::to_string(head.channels));
  }
  return head;
}

struct OpusStreamDecoder::State {
  ::OpusDecoder* decoder = nullptr;
  ~State() {
    if (decoder) opus_decoder_destroy(decoder);
  }
};

OpusStreamDecoder::OpusStreamDecoder() : state_(std::make_unique<State>()) {}
OpusStreamDecoder::~OpusStreamDecoder() = default;

Expected<void, std::string> OpusStreamDecoder::configure(video::ByteView payload) {
  auto head = parseOpusHead(payload);
  if (!head) return tl::unexpected(head.error());
  if (head_ == *head) return {};
  int error = OPUS_OK;
  ::OpusDecoder* decoder = opus_decoder_create(kSampleRate, head->channels, &error);
  if (!decoder || error != OPUS_OK) {
    return tl::unexpected(std::string("opus decoder: ") + opus_strerror(error));
  }
  state_ = std::make_unique<State>();
  state_->decoder = decoder;
  head_ = *head;
  skipLeft_ = head->preSkip;
  pcm_.assign(static_cast<size_t>(kMaxFrameSamples * head->channels), 0.0f);
  return {};
}

Expected<std::span<const float>, std::string> OpusStreamDecoder::decode(video::ByteView packet) {
  if (!state_->decoder) return tl::unexpected(std::string("audio packet before configuration"));
  if (packet.empty() || packet.size() > 0x7fffffff) {
    return tl::unexpected(std::string("empty audio packet"));
  }
  const int frames = opus_decode_float(state_->decoder, packet.data(),
                                       static_cast<opus_int32>(packet.size()), pcm_.data(),
                                       kMaxFrameSamples, 0);
  if (frames < 0) return tl::unexpected(std::string("opus: ") + opus_strerror(frames));
  const int skipped = std::min(skipLeft_, frames);
  skipLeft_ -= skipped;
  const auto channels = static_cast<size_t>(head_->channels);
  return std::span<const float>(pcm_.data() + static_cast<size_t>(skipped) * channels,
                                static_cast<size_t>(frames - skipped) * channels);
}

void AudioStats::recordPacket(uint64_t pts, double latencyMs, std::span<const float> samples) {
  if (expectedPts_ && pts > *expectedPts_) {
    // Whole packets missing before this one; a pts at or before the expected one adds none.
    const uint64_t gap = (pts - *expectedPts_ + kPacketMicros / 2) / kPacketMicros;
    windowMissing_ += gap;
    totalMissing_ += gap;
  }
  if (!expectedPts_ || pts >= *expectedPts_) expectedPts_ = pts + kPacketMicros;
  float peak = 0;
  for (float sample : samples) peak = std::max(peak, std::fabs(sample));
  windowPeak_ = std::max(windowPeak_, peak);
  totalPeak_ = std::max(totalPeak_, peak);
  latencies_.recordFrame(latencyMs);
}

void AudioStats::recordError() { latencies_.recordError(); }

AudioStats::Summary AudioStats::summarize(const DecodeStats::Summary& s, uint64_t missing,
                                          float peak) {
  return {s.frames, s.errors, missing, peak, s.p50, s.p95, s.p99};
}

AudioStats::Summary AudioStats::takeWindow() {
  const auto summary =
      summarize(latencies_.takeWindow(), std::exchange(windowMissing_, 0), windowPeak_);
  windowPeak_ = 0;
  return summary;
}

AudioStats::Summary AudioStats::total() const {
  return summarize(latencies_.total(), totalMissing_, totalPeak_);
}

}  // namespace ferrowin::client
