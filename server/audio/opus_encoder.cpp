#include "server/audio/opus_encoder.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace ferrowin::audio {

struct OpusEncoder::Codec {
  ::OpusEncoder* encoder = nullptr;
  ~Codec() {
    if (encoder) opus_encoder_destroy(encoder);
  }
};

struct OpusEncoder::Converter {
  platform::AudioFormat input;
  SwrContext* swr = nullptr;
  ~Converter() { swr_free(&swr); }
};

namespace {

void putU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

std::optional<AVSampleFormat> sampleFormatOf(const platform::AudioFormat& format) {
  using Kind = platform::AudioSampleKind;
  AVSampleFormat packed;
  if (format.kind == Kind::floatingPoint && format.bitsPerChannel == 32) {
    packed = AV_SAMPLE_FMT_FLT;
  } else if (format.kind == Kind::floatingPoint && format.bitsPerChannel == 64) {
    packed = AV_SAMPLE_FMT_DBL;
  } else if (format.kind == Kind::signedInteger && format.bitsPerChannel == 16) {
    packed = AV_SAMPLE_FMT_S16;
  } else if (format.kind == Kind::signedInteger && format.bitsPerChannel == 32) {
    packed = AV_SAMPLE_FMT_S32;
  } else {
    return std::nullopt;
  }
  return format.interleaved ? packed : av_get_planar_sample_fmt(packed);
}

}  // namespace

OpusEncoder::OpusEncoder(int channels, int bitrateKbps, std::string captureName)
    : channels_(channels),
      bitrateKbps_(std::max(bitrateKbps, kMinBitrateKbps)),
      captureName_(std::move(captureName)) {}

OpusEncoder::~OpusEncoder() = default;

Bytes OpusEncoder::configurationBlob(int channels) {
  Bytes blob{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1};
  blob.push_back(static_cast<uint8_t>(std::clamp(channels, 0, 255)));
  putU16(blob, kPreSkip);
  const uint32_t rate = kSampleRate;
  for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<uint8_t>(rate >> shift));
  putU16(blob, 0);   // output gain
  blob.push_back(0);  // channel mapping family
  return blob;
}

void OpusEncoder::skip(const std::string& reason) {
  if (auto stats = stats_.lock()) stats->recordSkip(reason);
}

void OpusEncoder::sendConfigOnce() {
  if (sentConfig_) return;
  sentConfig_ = true;
  const Bytes blob = configurationBlob(channels_);
  for (int copy = 0; copy < 3; ++copy) {
    if (onConfig) onConfig(blob);
  }
  if (auto stats = stats_.lock()) stats->recordConfigEncoded();
}

void OpusEncoder::reset() {
  codec_.reset();
  sentConfig_ = false;
  pendingPcm_.clear();
  nextPtsUsec_.reset();
}

size_t OpusEncoder::pendingFrames() const {
  return pendingPcm_.size() / static_cast<size_t>(std::max(channels_, 1));
}

std::string OpusEncoder::captureSummary(const platform::AudioFormat& f) const {
  const char* kind = f.kind == platform::AudioSampleKind::floatingPoint   ? "float"
                     : f.kind == platform::AudioSampleKind::signedInteger ? "int"
                                                                          : "pcm";
  return captureName_ + "=" + std::to_string(f.sampleRate) + "Hz " + kind +
         std::to_string(f.bitsPerChannel) + " " + (f.interleaved ? "interleaved" : "planar") +
         " ch=" + std::to_string(f.channels) + " encode=" + std::to_string(kSampleRate) +
         "Hz frame=" + std::to_string(kFrameSamples) +
         " resample=" + (f.sampleRate == kSampleRate ? "false" : "true");
}

const std::vector<float>& OpusEncoder::convert(const platform::AudioSampleBuffer& buffer) {
  converted_.clear();
  const platform::AudioFormat& in = buffer.format;
  const platform::AudioFormat target{kSampleRate, platform::AudioSampleKind::floatingPoint, 32,
                                     true, channels_};
  if (in == target) {
    // Already the encoder's format: no converter.
    converted_.resize(static_cast<size_t>(buffer.frames) * static_cast<size_t>(channels_));
    if (!converted_.empty()) {  // an empty buffer may have no storage at all
      std::memcpy(converted_.data(), buffer.planes[0].data(), converted_.size() * sizeof(float));
    }
    return converted_;
  }
  if (!converter_ || converter_->input != in) {
    converter_.reset();
    const auto format = sampleFormatOf(in);
    if (!format) return converted_;
    auto converter = std::make_unique<Converter>();
    converter->input = in;
    AVChannelLayout inLayout, outLayout;
    av_channel_layout_default(&inLayout, in.channels);
    av_channel_layout_default(&outLayout, channels_);
    const int made = swr_alloc_set_opts2(&converter->swr, &outLayout, AV_SAMPLE_FMT_FLT, kSampleRate,
                                         &inLayout, *format, in.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (made < 0 || swr_init(converter->swr) < 0) return converted_;
    converter_ = std::move(converter);
  }
  const auto capacity = static_cast<int>(
      std::ceil(static_cast<double>(kSampleRate) / in.sampleRate * buffer.frames) + 32);
  converted_.resize(static_cast<size_t>(capacity) * static_cast<size_t>(channels_));
  std::vector<const uint8_t*> planes;
  for (const auto& plane : buffer.planes) planes.push_back(plane.data());
  auto* out = reinterpret_cast<uint8_t*>(converted_.data());
  const int frames =
      swr_convert(converter_->swr, &out, capacity, planes.data(), buffer.frames);
  converted_.resize(frames > 0 ? static_cast<size_t>(frames) * static_cast<size_t>(channels_) : 0);
  return converted_;
}

void OpusEncoder::encode(const platform::AudioSampleBuffer& buffer) {
  auto stats = stats_.lock();
  if (!buffer.valid()) return skip("invalid_sample");
  sendConfigOnce();
  if (!codec_) {
    int error = OPUS_OK;
    ::OpusEncoder* encoder =
        opus_encoder_create(kSampleRate, channels_, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
    if (!encoder || error != OPUS_OK) return skip("encoder_init");
    codec_ = std::make_unique<Codec>();
    codec_->encoder = encoder;
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(bitrateKbps_ * 1000));
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(5));
  }

  if (!loggedCaptureFormat_) {
    loggedCaptureFormat_ = true;
    if (stats) stats->setCaptureFormat(captureSummary(buffer.format));
  }
  const std::vector<float>& block = convert(buffer);
  if (block.empty()) return skip("pcm_extract");

  float peak = 0;
  for (float sample : block) peak = std::max(peak, std::fabs(sample));
  if (stats) stats->recordPeak(peak);
  pendingPcm_.insert(pendingPcm_.end(), block.begin(), block.end());

  if (!nextPtsUsec_) {
    const double micros = buffer.presentationTime * 1e6;
    nextPtsUsec_ = micros > 0 ? static_cast<uint64_t>(micros) : 0;
  }

  const size_t frameValues = static_cast<size_t>(kFrameSamples) * static_cast<size_t>(channels_);
  size_t used = 0;
  unsigned char packet[kMaxPacketBytes];
  while (pendingPcm_.size() - used >= frameValues) {
    const opus_int32 length = opus_encode_float(codec_->encoder, pendingPcm_.data() + used,
                                                kFrameSamples, packet, kMaxPacketBytes);
    used += frameValues;
    if (length >= 1) {
      if (stats) stats->recordPacketEncoded();
      if (onAudio) onAudio(Bytes(packet, packet + length), *nextPtsUsec_);
    } else {
      skip("opus_encode");
    }
    *nextPtsUsec_ += kFrameMicros;
  }
  pendingPcm_.erase(pendingPcm_.begin(), pendingPcm_.begin() + static_cast<ptrdiff_t>(used));
}

}  // namespace ferrowin::audio
