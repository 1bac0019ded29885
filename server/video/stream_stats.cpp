#include "server/video/stream_stats.h"

#include <algorithm>
#include <cmath>
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

// Frames a transport never reports (dropped on the way) are forgotten past this many.
constexpr size_t kInFlightLimit = 64;

double secondsOf(uint64_t ptsMicros) { return static_cast<double>(ptsMicros) / 1e6; }

}  // namespace

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  const size_t index = std::clamp<size_t>(rank, 1, values.size()) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(index), values.end());
  return values[index];
}

void VideoStreamStats::recordFrameCapture(uint64_t pts, double time) {
  std::lock_guard guard(lock_);
  FrameInFlight& frame = inFlight_[pts];
  frame.arrival = time;
  frame.stages.capture = (time - secondsOf(pts)) * 1000.0;
  while (inFlight_.size() > kInFlightLimit) inFlight_.erase(inFlight_.begin());
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

void VideoStreamStats::recordFrameEncoded(uint64_t pts, double convertMs, double codecMs,
                                          bool keyframe, double time) {
  std::lock_guard guard(lock_);
  auto it = inFlight_.find(pts);
  if (it == inFlight_.end()) return;
  FrameInFlight& frame = it->second;
  frame.encoded = time;
  frame.stages.convert = convertMs;
  frame.stages.encode = codecMs;
  frame.stages.queue = std::max(0.0, (time - frame.arrival) * 1000.0 - convertMs - codecMs);
  frame.stages.keyframe = keyframe;
}

void VideoStreamStats::recordFrameSent(uint64_t pts, double sendStart, double time) {
  FrameStages stages;
  {
    std::lock_guard guard(lock_);
    auto it = inFlight_.find(pts);
    if (it == inFlight_.end() || it->second.encoded == 0) return;
    const FrameInFlight& frame = it->second;
    stages = frame.stages;
    const double handedOver = frame.handedOver > 0 ? frame.handedOver : frame.encoded;
    stages.packetize = std::max(0.0, (sendStart - handedOver) * 1000.0);
    stages.send = (time - sendStart) * 1000.0;
    stages.host = (time - secondsOf(pts)) * 1000.0;
    // Frames go out in order: anything older was dropped on the way.
    inFlight_.erase(inFlight_.begin(), std::next(it));
    sentFrames_.push_back(stages);
  }
  common::serverLog("video")->debug(
      "[frame] pts={} host_ms={:.2f} capture={:.2f} queue={:.2f} convert={:.2f} encode={:.2f} "
      "packetize={:.2f} send={:.2f} keyframe={}",
      pts, stages.host, stages.capture, stages.queue, stages.convert, stages.encode,
      stages.packetize, stages.send, stages.keyframe ? 1 : 0);
}

void VideoStreamStats::recordFrameSend(uint64_t pts, double time) {
  std::lock_guard guard(lock_);
  if (auto it = inFlight_.find(pts); it != inFlight_.end()) it->second.handedOver = time;
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
  s.sentFrames = sentFrames_;
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
    sentFrames_.clear();
  }
  std::vector<double> host;
  FrameStages mean;
  for (const FrameStages& f : s.sentFrames) {
    host.push_back(f.host);
    mean.capture += f.capture;
    mean.queue += f.queue;
    mean.convert += f.convert;
    mean.encode += f.encode;
    mean.packetize += f.packetize;
    mean.send += f.send;
  }
  const double n = std::max<double>(1, static_cast<double>(s.sentFrames.size()));
  common::serverLog("video")->info(
      "[server]{} capture_fps={:.1f} capture_ms avg={:.2f} encode_ms avg={:.2f} min={:.2f} "
      "max={:.2f} send_ms avg={:.2f} skew_ms avg={:.2f} replaced={} outbound_max={} keyframes={} "
      "retransmitted={} host_ms p50={:.2f} p99={:.2f} stage_ms capture={:.2f} queue={:.2f} "
      "convert={:.2f} encode={:.2f} packetize={:.2f} send={:.2f}",
      color, s.captureFps, s.avgCaptureIntervalMs, s.avgEncodeMs, s.minEncodeMs, s.maxEncodeMs,
      s.avgLogicalSendIntervalMs, s.avgSkewMs, replaced, outbound, keyframes, retransmitted,
      percentile(host, 0.5), percentile(host, 0.99), mean.capture / n, mean.queue / n,
      mean.convert / n, mean.encode / n, mean.packetize / n, mean.send / n);
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
  inFlight_.clear();
  sentFrames_.clear();
  replacedPendingWindow_ = maxOutboundDepthWindow_ = keyframesInWindow_ = retransmittedWindow_ = 0;
}

}  // namespace ferrowin::video
