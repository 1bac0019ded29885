#pragma once
// The encoder half of the screen streamer: one HEVC encoder per frame size, at most two frames in
// it at once, and while both slots are busy only the newest captured frame waits. Encoded frames
// leave as length-prefixed NAL units, preceded on keyframes by the VPS, SPS and PPS.
//
// Everything runs on the streamer's capture queue: the encoder answers on its own thread and the
// session only posts those answers back (through `post`). Create it with std::make_shared; pending
// answers hold it weakly.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/runtime/clock.h"
#include "platform/video_encoder.h"
#include "protocol/stream_config.h"

namespace ferrowin::capture {

/// The statistics the encoder half feeds; the streamer adapts the stream statistics to it.
class EncoderStatistics {
 public:
  virtual ~EncoderStatistics() = default;
  virtual void setColorSpaceSummaryIfEmpty(const std::string& summary) = 0;
  /// One encoded frame: its encode time and whether it was a keyframe, recorded together.
  virtual void recordEncode(double milliseconds, bool keyframe) = 0;
  virtual void recordReplacedPending() = 0;
  /// Where one frame's time went from its arrival to its answer on the capture queue (`time`):
  /// the encoder's own conversion and codec times, the rest was waiting.
  virtual void recordFrameEncoded(uint64_t /*ptsMicros*/, double /*convertMs*/,
                                  double /*codecMs*/, bool /*keyframe*/, double /*time*/) {}
};

class HEVCEncoderSession : public std::enable_shared_from_this<HEVCEncoderSession> {
 public:
  using EncoderFactory =
      std::function<Expected<std::unique_ptr<platform::VideoEncoder>, platform::VideoEncoderError>(
          const platform::VideoEncoderSettings&)>;

  struct Callbacks {
    /// Runs work on the capture queue (encoder answers hop there).
    std::function<void(std::function<void()>)> post;
    /// Whether the streamer is running; frames and answers are dropped when it is not.
    std::function<bool()> running;
    /// The streamer's active capture size (0 × 0 when none).
    std::function<std::pair<int, int>()> activeCaptureSize;
    /// The streamer's error report (it stops streaming).
    std::function<void(const std::string& text)> reportError;
    std::function<void(const std::vector<std::vector<uint8_t>>& sets, int width, int height)>
        onParameterSets;
    std::function<void(std::vector<uint8_t> bytes, bool keyframe, uint64_t ptsMicros)> onEncoded;
  };

  HEVCEncoderSession(EncoderFactory factory, const common::Clock& clock, Callbacks callbacks);

  /// The configuration the next session is made with (the current one keeps its own).
  void configure(const StreamConfig& config, platform::EncoderPreference preference);
  void setStatistics(std::shared_ptr<EncoderStatistics> statistics);

  /// A complete captured frame, its pts (µs of the media clock) and its arrival time (s).
  void processFrame(platform::BgraFrame frame, int64_t ptsMicros, double arrivalTime);
  /// Ends the encoder session and drops the waiting frame; the next frame starts a new session
  /// with a keyframe and fresh parameter sets. The encoder itself is kept aside: a next session
  /// with the same settings continues on it from a forced keyframe instead of opening a new one
  /// (opening and closing libx265 leaves the process a little larger every time), a next session
  /// with other settings closes it and opens its own.
  void teardownSession();
  /// teardownSession() and forgets the frames in flight (the streamer's stop()); their answers,
  /// whenever they come, are dropped.
  void fullReset();

 private:
  struct PendingCapture {
    platform::BgraFrame frame;
    int64_t ptsMicros;
    int contentWidth;
    int contentHeight;
  };

  void ensureSession(int width, int height);
  void submit(PendingCapture capture);
  void handleOutput(Expected<platform::EncodedPacket, platform::VideoEncoderError> result,
                    uint64_t run, int contentWidth, int contentHeight);
  void encodePending();
  bool running() const { return callbacks_.running && callbacks_.running(); }

  EncoderFactory factory_;
  const common::Clock& clock_;
  Callbacks callbacks_;
  std::shared_ptr<EncoderStatistics> statistics_;
  StreamConfig config_;
  platform::EncoderPreference preference_ = platform::EncoderPreference::automatic;

  std::unique_ptr<platform::VideoEncoder> session_;
  platform::VideoEncoderSettings sessionSettings_;
  // The encoder of the last ended session and its settings; the next session's first frame on it
  // is a forced keyframe.
  std::unique_ptr<platform::VideoEncoder> spare_;
  platform::VideoEncoderSettings spareSettings_;
  bool forceKeyframe_ = false;
  int sessionWidth_ = 0;
  int sessionHeight_ = 0;
  int inFlightEncodes_ = 0;
  // At most two frames in the encoder, and no more than it works on at once.
  int inFlightLimit() const;
  std::optional<PendingCapture> pendingLatest_;
  std::deque<double> encodeStartTimes_;
  bool didLogColorSpace_ = false;
  /// Which run (start to stop of the streamer) submitted frames belong to; fullReset() ends one.
  uint64_t run_ = 0;
};

}  // namespace ferrowin::capture
