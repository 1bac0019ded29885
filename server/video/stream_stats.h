#pragma once
// Pacing statistics of the host's video pipeline: capture rhythm, encode times, the rhythm in which
// encoded frames reach the transport and how far it drifts from the presentation times, plus
// counters per one-second window. Written from the capture queue, the transports' send paths and the
// main executor; every operation takes the lock for the arithmetic only.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ferrowin::video {

/// Follows the "ferrowin.video.diagnostics" setting. Thread-safe.
class VideoDiagnosticsGate {
 public:
  bool enabled() const {
    std::lock_guard guard(lock_);
    return enabled_;
  }
  void setEnabled(bool on) {
    std::lock_guard guard(lock_);
    enabled_ = on;
  }

 private:
  mutable std::mutex lock_;
  bool enabled_ = false;
};

struct VideoStreamStatsSnapshot {
  std::vector<double> captureIntervalMs;
  std::vector<double> ptsDeltaMs;
  std::vector<double> logicalSendIntervalMs;
  std::vector<double> skewMs;
  double captureFps = 0;
  double avgCaptureIntervalMs = 0;
  double avgLogicalSendIntervalMs = 0;
  double avgSkewMs = 0;
  double avgEncodeMs = 0;
  double minEncodeMs = 0;
  double maxEncodeMs = 0;
  int64_t replacedPending = 0;
  int64_t maxOutboundDepth = 0;
  double targetIntervalMs = 0;

  bool operator==(const VideoStreamStatsSnapshot&) const = default;
};

class VideoStreamStats {
 public:
  static constexpr size_t kHistoryLimit = 120;

  void recordFrameCapture(uint64_t ptsMicros, double time);
  void recordEncodeDuration(double milliseconds);
  void recordKeyframe();
  void recordReplacedPending();
  void recordFrameSend(uint64_t ptsMicros, double time);
  void raiseMaxOutboundDepth(int64_t depth);
  void recordRetransmission();

  void setTargetIntervalMs(double ms);
  void setColorSpaceSummary(std::optional<std::string> summary);

  VideoStreamStatsSnapshot snapshot() const;
  /// Logs the "[server]" summary line and starts a new window when at least 1 s has passed since
  /// the last one. Returns whether it logged.
  bool logIfDue(double now);
  void reset();

  int64_t retransmittedInWindow() const;

 private:
  VideoStreamStatsSnapshot snapshotLocked() const;

  mutable std::mutex lock_;
  std::deque<double> recentCaptureTimes_;
  std::deque<double> captureIntervals_, capturePtsDeltas_, encodeDurations_, logicalSendIntervals_,
      sendSkewHistory_;
  std::optional<double> prevCaptureTime_;
  std::optional<uint64_t> prevCapturePts_;
  std::optional<double> prevLogicalSendTime_;
  std::optional<uint64_t> prevSentPts_;
  int64_t replacedPendingWindow_ = 0;
  int64_t maxOutboundDepthWindow_ = 0;
  int64_t keyframesInWindow_ = 0;
  int64_t retransmittedWindow_ = 0;
  double lastLogTime_ = 0;
  double targetIntervalMs_ = 1000.0 / 60.0;
  std::optional<std::string> colorSpaceSummary_;
};

}  // namespace ferrowin::video
