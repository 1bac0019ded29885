#pragma once
// Pacing statistics of the host's video pipeline: capture rhythm, encode times, the rhythm in which
// encoded frames reach the transport and how far it drifts from the presentation times, plus
// counters per one-second window. Written from the capture queue, the transports' send paths and the
// main executor; every operation takes the lock for the arithmetic only.

#include <cstdint>
#include <deque>
#include <map>
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

/// Where one frame's time went on the host, in milliseconds: `capture` from the capture time (its
/// pts) to its arrival from the capture backend; `queue` waiting on the capture queue and for an
/// encoder slot and thread; `convert` to the encoder's pixel format; `encode` in the codec;
/// `packetize` from the hand-over to the transport to its first send call (the send queue, framing,
/// fragments and parity); `send` in the send calls. `host` is the capture time to the moment its
/// last byte was handed to the kernel.
struct FrameStages {
  bool operator==(const FrameStages&) const = default;
  double capture = 0;
  double queue = 0;
  double convert = 0;
  double encode = 0;
  double packetize = 0;
  double send = 0;
  double host = 0;
  bool keyframe = false;
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
  /// The frames of the current window whose last byte has gone out.
  std::vector<FrameStages> sentFrames;

  bool operator==(const VideoStreamStatsSnapshot&) const = default;
};

/// The value at or below which `fraction` of the values lie (nearest rank); 0 for none.
double percentile(std::vector<double> values, double fraction);

class VideoStreamStats {
 public:
  static constexpr size_t kHistoryLimit = 120;

  void recordFrameCapture(uint64_t ptsMicros, double time);
  void recordEncodeDuration(double milliseconds);
  void recordKeyframe();
  void recordReplacedPending();
  void recordFrameSend(uint64_t ptsMicros, double time);
  /// The encoder's answer for a frame reached the capture queue at `time`.
  void recordFrameEncoded(uint64_t ptsMicros, double convertMs, double codecMs, bool keyframe,
                          double time);
  /// The transport began sending a video frame at `sendStart` and handed its last datagram (or
  /// byte) to the kernel at `time`: the frame's stages are complete.
  void recordFrameSent(uint64_t ptsMicros, double sendStart, double time);
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
  // Frames on their way through the host, by pts: the times seen so far.
  struct FrameInFlight {
    double arrival = 0;
    double encoded = 0;
    double handedOver = 0;
    FrameStages stages;
  };
  std::map<uint64_t, FrameInFlight> inFlight_;
  std::vector<FrameStages> sentFrames_;
  double lastLogTime_ = 0;
  double targetIntervalMs_ = 1000.0 / 60.0;
  std::optional<std::string> colorSpaceSummary_;
};

}  // namespace ferrowin::video
