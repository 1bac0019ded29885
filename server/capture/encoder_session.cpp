#include "server/capture/encoder_session.h"

#include <algorithm>
#include <utility>

#include "common/util/log.h"
#include "protocol/annexb.h"

namespace ferrowin::capture {

namespace {

int roundUpTo16(int value) { return (value + 15) / 16 * 16; }

platform::EncoderColorSpace encoderColorSpace(CaptureColorSpace space) {
  return space == CaptureColorSpace::srgb ? platform::EncoderColorSpace::srgb
                                          : platform::EncoderColorSpace::displayP3;
}

}  // namespace

HEVCEncoderSession::HEVCEncoderSession(EncoderFactory factory, const common::Clock& clock,
                                       Callbacks callbacks)
    : factory_(std::move(factory)), clock_(clock), callbacks_(std::move(callbacks)) {}

void HEVCEncoderSession::configure(const StreamConfig& config,
                                   platform::EncoderPreference preference) {
  config_ = config;
  preference_ = preference;
}

void HEVCEncoderSession::setStatistics(std::shared_ptr<EncoderStatistics> statistics) {
  statistics_ = std::move(statistics);
}

void HEVCEncoderSession::processFrame(platform::BgraFrame frame, int64_t ptsMicros,
                                      double arrivalTime) {
  if (!running()) return;
  const int width = frame.width, height = frame.height;
  // The capture side pads a width that is not a multiple of 16 with black on the right; the
  // content width is the picture without that padding.
  const auto [activeWidth, activeHeight] =
      callbacks_.activeCaptureSize ? callbacks_.activeCaptureSize() : std::pair<int, int>{0, 0};
  const int contentWidth = activeWidth > 0 && activeHeight > 0 && height == activeHeight &&
                                   width == roundUpTo16(activeWidth)
                               ? activeWidth
                               : width;
  if (!didLogColorSpace_) {
    didLogColorSpace_ = true;
    if (statistics_) statistics_->setColorSpaceSummaryIfEmpty(colorSummary(config_.colorSpace));
    common::serverLog("capture")->info("Capture frame {}x{}, content {}x{}", width, height,
                                       contentWidth, height);
  }
  ensureSession(width, height);
  if (!session_) return;
  PendingCapture capture{std::move(frame), ptsMicros, contentWidth, height};
  if (inFlightEncodes_ >= inFlightLimit()) {
    pendingLatest_ = std::move(capture);  // only the newest waits
    if (statistics_) statistics_->recordReplacedPending();
    return;
  }
  if (!running()) return;
  ++inFlightEncodes_;
  encodeStartTimes_.push_back(arrivalTime);
  submit(std::move(capture));
}

int HEVCEncoderSession::inFlightLimit() const {
  return session_ ? std::clamp(session_->framesInParallel(), 1, 2) : 2;
}

void HEVCEncoderSession::ensureSession(int width, int height) {
  if (session_ && sessionWidth_ == width && sessionHeight_ == height) return;
  if (session_) teardownSession();
  platform::VideoEncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.fps = config_.fps;
  settings.bitrateKbps = config_.bitrateKbps;
  settings.colorSpace = encoderColorSpace(config_.colorSpace);
  settings.preference = preference_;
  if (spare_ && spareSettings_ == settings) {
    session_ = std::move(spare_);
    forceKeyframe_ = true;
  } else {
    spare_.reset();
    auto created = factory_(settings);
    if (!created) {
      // The report stops streaming; nothing is retried until the owner starts again.
      if (callbacks_.reportError) callbacks_.reportError(created.error().description());
      return;
    }
    session_ = std::move(*created);
    forceKeyframe_ = false;  // a new encoder starts with a keyframe anyway
  }
  sessionSettings_ = settings;
  sessionWidth_ = width;
  sessionHeight_ = height;
}

void HEVCEncoderSession::submit(PendingCapture capture) {
  // The answer comes on the encoder's thread; it only hops back to the capture queue.
  std::weak_ptr<HEVCEncoderSession> weak = weak_from_this();
  auto post = callbacks_.post;
  const int contentWidth = capture.contentWidth, contentHeight = capture.contentHeight;
  const bool forceKeyframe = std::exchange(forceKeyframe_, false);
  session_->encode(
      std::move(capture.frame), capture.ptsMicros, forceKeyframe,
      [weak, post, run = run_, contentWidth, contentHeight](auto result) {
        post([weak, result = std::move(result), run, contentWidth, contentHeight]() mutable {
          if (auto self = weak.lock()) {
            self->handleOutput(std::move(result), run, contentWidth, contentHeight);
          }
        });
      });
}

void HEVCEncoderSession::handleOutput(
    Expected<platform::EncodedPacket, platform::VideoEncoderError> result, uint64_t run,
    int contentWidth, int contentHeight) {
  // An answer of an earlier run: its slot was already given back by fullReset(), and its frame
  // must not reach a client of the new run before that run's first keyframe.
  if (run != run_) return;
  if (running() && result && !result->annexB.empty()) {
    const double start = encodeStartTimes_.empty() ? clock_.now() : encodeStartTimes_.front();
    const double now = clock_.now();
    const bool keyframe = result->keyframe;
    const auto pts = static_cast<uint64_t>(std::max<int64_t>(result->ptsMicros, 0));
    if (statistics_) {
      statistics_->recordEncode((now - start) * 1000, keyframe);
      statistics_->recordFrameEncoded(pts, result->convertMs, result->codecMs, keyframe, now);
    }
    LengthPrefixedAccessUnit unit = toLengthPrefixed(result->annexB);
    if (keyframe && !unit.parameterSets.empty() && callbacks_.onParameterSets) {
      callbacks_.onParameterSets(unit.parameterSets, contentWidth, contentHeight);
    }
    if (!unit.data.empty() && callbacks_.onEncoded) {
      callbacks_.onEncoded(std::move(unit.data), keyframe, pts);
    }
  }
  // Whatever the answer, the slot is free again.
  inFlightEncodes_ = std::max(inFlightEncodes_ - 1, 0);
  if (!encodeStartTimes_.empty()) encodeStartTimes_.pop_front();
  encodePending();
}

void HEVCEncoderSession::encodePending() {
  if (inFlightEncodes_ >= inFlightLimit() || !pendingLatest_) return;
  PendingCapture capture = std::move(*pendingLatest_);
  pendingLatest_.reset();
  if (!session_ || !running()) return;
  ++inFlightEncodes_;
  encodeStartTimes_.push_back(clock_.now());  // its encode time counts from now
  submit(std::move(capture));
}

void HEVCEncoderSession::teardownSession() {
  pendingLatest_.reset();
  didLogColorSpace_ = false;
  // Frames still in the kept encoder are answered later through `post` and free their slots; the
  // next session's forced keyframe comes after them.
  if (session_) {
    spare_ = std::move(session_);
    spareSettings_ = sessionSettings_;
  }
  forceKeyframe_ = false;
  sessionWidth_ = 0;
  sessionHeight_ = 0;
}

void HEVCEncoderSession::fullReset() {
  ++run_;
  teardownSession();
  inFlightEncodes_ = 0;
  encodeStartTimes_.clear();
}

}  // namespace ferrowin::capture
