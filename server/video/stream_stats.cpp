#include "server/video/stream_stats.h"

#include <algorithm>
#include <numeric>

#include <fmt/format.h>

#include "common/util/log.h"

namespace ferrowin::video {
namespace {

void append(std::deque<double>& history, double value) {
  history.push_back(value);
  while (history.size() > VideoStreamStats::kHistoryLimit) history.pop_front();
}

double average(const std::deque<double>& values) {
  if (values.empty()) return 0;
  return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

}  // namespace

void VideoStreamStats::recordFrameCapture(uint64_t pts, double time) {
  std::lock_guard guard(lock_);
  if (prevCaptureTime_) append(captureIntervals_, (time - *prevCaptureTime_) * 1000.0);
  if (prevCapturePts_ && pts >= *prevCapturePts_) {
    append(capturePtsDeltas_, static_cast<double>(pts - *prevCapturePts_) / 1000.0);
  }
  prevCaptureTime_ = time;
  prevCapturePts_ = pts;
  recentCaptureTimes_.push_back(time);
  std::erase_if(recentCaptureTimes_, [&](double t) { return t < time - 1.0; });
}

void VideoStreamStats::recordEncodeDuration(double ms) {
  std::lock_guard guard(lock_);
  append(encodeDurations_, ms);
}

void VideoStreamStats::recordKeyframe() {
  std::lock_guard guard(lock_);
  ++keyframesInWindow_;
}

void VideoStreamStats::recordReplacedPending() {
  std::lock_guard guard(lock_);
  ++replacedPendingWindow_;
}

void VideoStreamStats::recordFrameSend(uint64_t pts, double time) {
  std::lock_guard guard(lock_);
  double sendInterval = targetIntervalMs_;
  if (prevLogicalSendTime_) {
    sendInterval = (time - *prevLogicalSendTime_) * 1000.0;
    append(logicalSendIntervals_, sendInterval);
  }
  double expected = targetIntervalMs_;
  if (prevSentPts_ && pts >= *prevSentPts_) {
    expected = static_cast<double>(pts - *prevSentPts_) / 1000.0;
  }
  if (prevLogicalSendTime_) append(sendSkewHistory_, sendInterval - expected);
  prevLogicalSendTime_ = time;
  prevSentPts_ = pts;
}

void VideoStreamStats::raiseMaxOutboundDepth(int64_t depth) {
  std::lock_guard guard(lock_);
  maxOutboundDepthWindow_ = std::max(maxOutboundDepthWindow_, depth);
}

void VideoStreamStats::recordRetransmission() {
  std::lock_guard guard(lock_);
  ++retransmittedWindow_;
}

int64_t VideoStreamStats::retransmittedInWindow() const {
  std::lock_guard guard(lock_);
  return retransmittedWindow_;
}

void VideoStreamStats::setTargetIntervalMs(double ms) {
  std::lock_guard guard(lock_);
  targetIntervalMs_ = ms;
}

void VideoStreamStats::setColorSpaceSummary(std::optional<std::string> summary) {
  std::lock_guard guard(lock_);
  colorSpaceSummary_ = std::move(summary);
}

VideoStreamStatsSnapshot VideoStreamStats::snapshotLocked() const {
  VideoStreamStatsSnapshot s;
  s.captureIntervalMs.assign(captureIntervals_.begin(), captureIntervals_.end());
  s.ptsDeltaMs.assign(capturePtsDeltas_.begin(), capturePtsDeltas_.end());
  s.logicalSendIntervalMs.assign(logicalSendIntervals_.begin(), logicalSendIntervals_.end());
  s.skewMs.assign(sendSkewHistory_.begin(), sendSkewHistory_.end());
  s.captureFps = static_cast<double>(recentCaptureTimes_.size());
  s.avgCaptureIntervalMs = average(captureIntervals_);
  s.avgLogicalSendIntervalMs = average(logicalSendIntervals_);
  s.avgSkewMs = average(sendSkewHistory_);
  s.avgEncodeMs = average(encodeDurations_);
  if (!encodeDurations_.empty()) {
    auto [lo, hi] = std::minmax_element(encodeDurations_.begin(), encodeDurations_.end());
    s.minEncodeMs = *lo;
    s.maxEncodeMs = *hi;
  }
  s.replacedPending = replacedPendingWindow_;
  s.maxOutboundDepth = maxOutboundDepthWindow_;
  s.targetIntervalMs = targetIntervalMs_;
  return s;
}

VideoStreamStatsSnapshot VideoStreamStats::snapshot() const {
  std::lock_guard guard(lock_);
  return snapshotLocked();
}

bool VideoStreamStats::logIfDue(double now) {
  VideoStreamStatsSnapshot s;
  int64_t replaced, outbound, keyframes, retransmitted;
  std::string color;
  {
    std::lock_guard guard(lock_);
    if (now - lastLogTime_ < 1.0) return false;
    lastLogTime_ = now;
    replaced = std::exchange(replacedPendingWindow_, 0);
    outbound = std::exchange(maxOutboundDepthWindow_, 0);
    keyframes = std::exchange(keyframesInWindow_, 0);
    retransmitted = std::exchange(retransmittedWindow_, 0);
    s = snapshotLocked();
    if (colorSpaceSummary_) color = " color=" + *colorSpaceSummary_;
  }
  common::serverLog("video")->info(
      "[server]{} capture_fps={:.1f} capture_ms avg={:.2f} encode_ms avg={:.2f} min={:.2f} "
      "max={:.2f} send_ms avg={:.2f} skew_ms avg={:.2f} replaced={} outbound_max={} keyframes={} "
      "retransmitted={}",
      color, s.captureFps, s.avgCaptureIntervalMs, s.avgEncodeMs, s.minEncodeMs, s.maxEncodeMs,
      s.avgLogicalSendIntervalMs, s.avgSkewMs, replaced, outbound, keyframes, retransmitted);
  return true;
}

void VideoStreamStats::reset() {
  std::lock_guard guard(lock_);
  recentCaptureTimes_.clear();
  captureIntervals_.clear();
  capturePtsDeltas_.clear();
  encodeDurations_.clear();
  logicalSendIntervals_.clear();
  sendSkewHistory_.clear();
  prevCaptureTime_.reset();
  prevCapturePts_.reset();
  prevLogicalSendTime_.reset();
  prevSentPts_.reset();
  replacedPendingWindow_ = maxOutboundDepthWindow_ = keyframesInWindow_ = retransmittedWindow_ = 0;
}

}  // namespace ferrowin::video
