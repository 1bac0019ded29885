#include "server/audio/audio_stream_stats.h"

#include <algorithm>
#include <fmt/format.h>

#include "common/util/log.h"

namespace ferrowin::audio {
namespace {

auto audioLog() { return common::serverLog("audio"); }

}  // namespace

void AudioStreamStats::setEnabled(bool enabled) {
  std::lock_guard guard(lock_);
  enabled_ = enabled;
}

bool AudioStreamStats::enabled() const {
  std::lock_guard guard(lock_);
  return enabled_;
}

void AudioStreamStats::clearWindowLocked() {
  window_ = Window{.codec = window_.codec, .captureFormat = window_.captureFormat};
}

void AudioStreamStats::sessionStart(const std::string& codec) {
  bool log;
  {
    std::lock_guard guard(lock_);
    window_.codec = codec;
    clearWindowLocked();
    log = enabled_;
  }
  if (log) audioLog()->info("[server][audio] session_start codec={}", codec);
}

void AudioStreamStats::setCodec(const std::string& codec) {
  std::lock_guard guard(lock_);
  window_.codec = codec;
}

void AudioStreamStats::recordCapture() {
  std::lock_guard guard(lock_);
  ++window_.captures;
}

void AudioStreamStats::recordConfigEncoded() {
  std::lock_guard guard(lock_);
  ++window_.configsEncoded;
}

void AudioStreamStats::recordPacketEncoded() {
  std::lock_guard guard(lock_);
  ++window_.packetsEncoded;
}

void AudioStreamStats::recordConfigSent() {
  std::lock_guard guard(lock_);
  ++window_.configsSent;
}

void AudioStreamStats::recordPacketSent() {
  std::lock_guard guard(lock_);
  ++window_.packetsSent;
}

void AudioStreamStats::recordSkip(const std::string& reason) {
  std::lock_guard guard(lock_);
  ++window_.skips;
  window_.lastSkipReason = reason;
}

void AudioStreamStats::recordPeak(float level) {
  std::lock_guard guard(lock_);
  window_.peak = std::max(window_.peak, level);
}

void AudioStreamStats::setCaptureFormat(const std::string& summary) {
  bool log;
  {
    std::lock_guard guard(lock_);
    window_.captureFormat = summary;
    log = enabled_;
  }
  if (log) audioLog()->info("[server][audio] capture_format={}", summary);
}

void AudioStreamStats::reset() {
  std::lock_guard guard(lock_);
  window_ = Window{.codec = window_.codec};
}

AudioStreamStats::Window AudioStreamStats::window() const {
  std::lock_guard guard(lock_);
  return window_;
}

std::string AudioStreamStats::hint(const Window& w) {
  if (w.codec == "off") return "audio disabled";
  if (w.captures > 0 && w.peak < 0.0001f) {
    return "capture peak near zero — play audio on the host (not ferrowin-server)";
  }
  if (w.captures == 0 && w.packetsEncoded == 0) {
    return "no PulseAudio buffers — check system audio / sound server";
  }
  if (w.packetsEncoded > 0 && w.packetsSent == 0) {
    return "encoded but not sent — check transport wiring";
  }
  if (w.packetsSent == 0) return "warming up";
  return "send ok — check client [client][audio] recv/decode/play";
}

bool AudioStreamStats::logIfDue(double now) {
  Window w;
  {
    std::lock_guard guard(lock_);
    if (!enabled_ || now - lastLogTime_ < 1.0) return false;
    lastLogTime_ = now;
    w = window_;
    clearWindowLocked();
  }
  std::string line = fmt::format(
      "[server][audio] codec={} capture={}/s encode_pkts={}/s config_enc={} config_sent={} "
      "send_pkts={}/s encode_skips={} peak={:.4f} hint={}",
      w.codec, w.captures, w.packetsEncoded, w.configsEncoded, w.configsSent, w.packetsSent,
      w.skips, w.peak, hint(w));
  if (w.captureFormat) line += " capture_fmt=" + *w.captureFormat;
  audioLog()->info("{}", line);
  if (w.skips > 0 && w.lastSkipReason) {
    audioLog()->error("[server][audio] encode_skip reason={} count={}", *w.lastSkipReason, w.skips);
  }
  return true;
}

}  // namespace ferrowin::audio
