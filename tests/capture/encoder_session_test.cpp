// The encoder half's pacing and output rules, with an encoder double whose answers the test gives
// by hand, a manual clock, and a queue the test drains.

#include "server/capture/encoder_session.h"

#include <gtest/gtest.h>

#include "tests/capture/test_media.h"
#include "tests/support/log_capture.h"

namespace ferrowin::capture {
namespace {

using platform::EncodedPacket;
using platform::VideoEncoderError;

struct Submission {
  int width;
  int64_t pts;
  platform::VideoEncoder::Completion done;
  bool forceKeyframe = false;
};

class FakeEncoder : public platform::VideoEncoder {
 public:
  FakeEncoder(std::vector<Submission>& log, int parallel) : log_(log), parallel_(parallel) {}
  std::string_view codecName() const override { return "fake"; }
  bool isHardware() const override { return false; }
  int framesInParallel() const override { return parallel_; }
  void encode(platform::BgraFrame frame, int64_t pts, bool forceKeyframe,
              Completion done) override {
    log_.push_back({frame.width, pts, std::move(done), forceKeyframe});
  }

 private:
  std::vector<Submission>& log_;
  int parallel_;
};

struct Stats : EncoderStatistics {
  void setColorSpaceSummaryIfEmpty(const std::string& text) override {
    if (summary.empty()) summary = text;
  }
  void recordEncode(double ms, bool keyframe) override {
    durations.push_back(ms);
    keyframes += keyframe;
  }
  void recordReplacedPending() override { ++replaced; }
  std::string summary;
  std::vector<double> durations;
  int keyframes = 0;
  int replaced = 0;
};

// An Annex B access unit: parameter sets (when asked) and one slice.
std::vector<uint8_t> accessUnit(bool withParameterSets) {
  std::vector<uint8_t> out;
  if (withParameterSets) {
    for (uint8_t type : {32, 33, 34}) {
      for (uint8_t byte : {0, 0, 0, 1}) out.push_back(byte);
      out.push_back(uint8_t(type << 1));
      out.push_back(1);
      out.push_back(0x77);
    }
  }
  for (uint8_t byte : {0, 0, 0, 1, 0x26, 0x01, 0xAA}) out.push_back(byte);
  return out;
}

class EncoderSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HEVCEncoderSession::Callbacks callbacks;
    callbacks.post = [this](std::function<void()> work) { queue_.push_back(std::move(work)); };
    callbacks.running = [this] { return running_; };
    callbacks.activeCaptureSize = [this] { return active_; };
    callbacks.reportError = [this](const std::string& text) {
      errors_.push_back(text);
      running_ = false;
    };
    callbacks.onParameterSets = [this](const auto& sets, int width, int height) {
      events_.push_back("sets " + std::to_string(sets.size()) + " " + std::to_string(width) + "x" +
                        std::to_string(height));
    };
    callbacks.onEncoded = [this](std::vector<uint8_t> bytes, bool keyframe, uint64_t pts) {
      events_.push_back(std::string(keyframe ? "key " : "frame ") + std::to_string(pts) + " " +
                        std::to_string(bytes.size()));
    };
    session_ = std::make_shared<HEVCEncoderSession>(
        [this](const platform::VideoEncoderSettings& settings)
            -> Expected<std::unique_ptr<platform::VideoEncoder>, VideoEncoderError> {
          created_.push_back(settings);
          if (failCreation_) return unexpected(*failCreation_);
          return std::make_unique<FakeEncoder>(submissions_, parallel_);
        },
        clock_, callbacks);
    session_->setStatistics(stats_);
  }

  void frame(int width, int height, int64_t pts) {
    session_->processFrame(testing::solidFrame(width, height, 0, 0, 0), pts, clock_.now());
  }

  // Answers submission `index` and runs what it posted.
  void answer(size_t index, Expected<EncodedPacket, VideoEncoderError> result) {
    submissions_.at(index).done(std::move(result));
    drain();
  }
  void answer(size_t index, bool keyframe, bool withSets) {
    answer(index, EncodedPacket{accessUnit(withSets), keyframe, submissions_.at(index).pts});
  }
  void drain() {
    while (!queue_.empty()) {
      auto work = std::move(queue_.front());
      queue_.erase(queue_.begin());
      work();
    }
  }

  common::ManualClock clock_{50.0};
  std::shared_ptr<Stats> stats_ = std::make_shared<Stats>();
  std::shared_ptr<HEVCEncoderSession> session_;
  std::vector<std::function<void()>> queue_;
  std::vector<Submission> submissions_;
  std::vector<platform::VideoEncoderSettings> created_;
  std::optional<VideoEncoderError> failCreation_;
  std::vector<std::string> errors_, events_;
  bool running_ = true;
  std::pair<int, int> active_{0, 0};
  int parallel_ = 2;
};

TEST_F(EncoderSessionTest, AtMostTwoInFlightAndOnlyTheNewestWaits) {
  frame(64, 64, 1);
  frame(64, 64, 2);
  EXPECT_EQ(session_->inFlightEncodes(), 2);
  frame(64, 64, 3);
  frame(64, 64, 4);
  frame(64, 64, 5);
  EXPECT_EQ(submissions_.size(), 2u);
  EXPECT_EQ(stats_->replaced, 3);  // every frame stored in the slot counts
  EXPECT_TRUE(session_->hasPending());

  // When a slot frees, the waiting frame goes in at once and its time counts from then.
  clock_.advance(0.010);
  answer(0, true, true);
  ASSERT_EQ(submissions_.size(), 3u);
  EXPECT_EQ(submissions_[2].pts, 5);
  EXPECT_FALSE(session_->hasPending());
  EXPECT_EQ(session_->inFlightEncodes(), 2);
  clock_.advance(0.004);
  answer(1, false, false);
  clock_.advance(0.003);
  answer(2, false, false);
  EXPECT_EQ(session_->inFlightEncodes(), 0);
  ASSERT_EQ(stats_->durations.size(), 3u);
  EXPECT_NEAR(stats_->durations[0], 10, 1e-6);  // from the first frame's arrival
  EXPECT_NEAR(stats_->durations[1], 14, 1e-6);
  EXPECT_NEAR(stats_->durations[2], 7, 1e-6);  // from its submission, not its arrival
  EXPECT_EQ(stats_->keyframes, 1);
  EXPECT_EQ(events_, (std::vector<std::string>{"sets 3 64x64", "key 1 7", "frame 2 7",
                                               "frame 5 7"}));
}

// An encoder that works on one frame at a time gets one; the newest capture waits beside it, and
// an encoder claiming more than two still gets two.
TEST_F(EncoderSessionTest, NoMoreInFlightThanTheEncoderWorksOnAtOnce) {
  for (const auto& [parallel, limit] : {std::pair{1, 1}, std::pair{5, 2}, std::pair{0, 1}}) {
    SCOPED_TRACE(parallel);
    parallel_ = parallel;
    session_->fullReset();
    submissions_.clear();
    // A size of its own, so that the encoder double of this round is a new one.
    for (int64_t pts = 1; pts <= 4; ++pts) frame(64 + 16 * parallel, 64, pts);
    EXPECT_EQ(session_->inFlightEncodes(), limit);
    ASSERT_EQ(submissions_.size(), size_t(limit));
    answer(0, true, true);
    ASSERT_EQ(submissions_.size(), size_t(limit) + 1);
    EXPECT_EQ(submissions_.back().pts, 4);  // the newest, not the next in line
    EXPECT_FALSE(session_->hasPending());
  }
}

TEST_F(EncoderSessionTest, ErrorsAndEmptyAnswersFreeTheSlot) {
  frame(64, 64, 1);
  frame(64, 64, 2);
  frame(64, 64, 3);
  answer(0, unexpected(VideoEncoderError{VideoEncoderError::Code::encodeFailed, -22}));
  answer(1, EncodedPacket{{}, false, 2});
  EXPECT_EQ(submissions_.size(), 3u);
  answer(2, true, false);  // a keyframe without parameter sets is still sent
  EXPECT_EQ(session_->inFlightEncodes(), 0);
  EXPECT_EQ(events_, (std::vector<std::string>{"key 3 7"}));
}

TEST_F(EncoderSessionTest, AnswersOfAStoppedRunAreDroppedAndLeaveTheNewRunsCount) {
  frame(64, 64, 1);
  frame(64, 64, 2);
  running_ = false;
  session_->fullReset();
  EXPECT_EQ(session_->inFlightEncodes(), 0);
  frame(64, 64, 3);  // not running: dropped
  EXPECT_EQ(submissions_.size(), 2u);
  running_ = true;  // a new start
  frame(64, 64, 4);
  // The old run's answers arrive late: no stale frame, and the new run's slot count is its own.
  answer(0, true, true);
  answer(1, false, false);
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(session_->inFlightEncodes(), 1);
  frame(64, 64, 5);
  frame(64, 64, 6);  // both slots are the new run's: this one waits
  EXPECT_TRUE(session_->hasPending());
  answer(2, true, true);
  EXPECT_EQ(events_, (std::vector<std::string>{"sets 3 64x64", "key 4 7"}));
}

TEST_F(EncoderSessionTest, ContentWidthLeavesOutThePadding) {
  active_ = {1366, 720};
  frame(1376, 720, 1);
  answer(0, true, true);
  frame(1376, 768, 2);  // another height: the frame is all picture
  answer(1, true, true);
  EXPECT_EQ(events_, (std::vector<std::string>{"sets 3 1366x720", "key 1 7", "sets 3 1376x768",
                                               "key 2 7"}));
}

TEST_F(EncoderSessionTest, NewSizeNewEncoderWithTheStreamSettings) {
  StreamConfig config;
  config.fps = 30;
  config.bitrateKbps = 8000;
  config.colorSpace = CaptureColorSpace::srgb;
  session_->configure(config, platform::EncoderPreference::software);
  testing::LogCapture logs;
  frame(64, 64, 1);
  frame(64, 64, 2);
  answer(0, true, true);
  answer(1, false, false);
  frame(128, 64, 3);
  ASSERT_EQ(created_.size(), 2u);
  EXPECT_EQ(created_[1].width, 128);
  EXPECT_EQ(created_[1].bitrateKbps, 8000);
  EXPECT_EQ(created_[1].colorSpace, platform::EncoderColorSpace::srgb);
  EXPECT_FALSE(submissions_[2].forceKeyframe);  // a new encoder starts with a keyframe anyway

  // A switch ends the session; the next one at the same settings goes on with the same encoder
  // from a forced keyframe, one at other settings gets a new encoder.
  session_->teardownSession();
  EXPECT_FALSE(session_->hasSession());
  EXPECT_TRUE(session_->hasSpareEncoder());
  frame(128, 64, 4);
  EXPECT_EQ(created_.size(), 2u);
  ASSERT_EQ(submissions_.size(), 4u);
  EXPECT_TRUE(submissions_[3].forceKeyframe);
  // The frame line once per session (checked before the size change replaces the session, so
  // the replacement logs at its next frame); the summary only while still empty.
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{"Capture frame 64x64, content 64x64",
                                                       "Capture frame 128x64, content 128x64"}));
  EXPECT_EQ(stats_->summary, "709/sRGB/709");
  answer(3, true, true);
  frame(128, 64, 5);
  EXPECT_FALSE(submissions_.at(4).forceKeyframe);
  session_->fullReset();
  config.bitrateKbps = 6000;
  session_->configure(config, platform::EncoderPreference::software);
  frame(128, 64, 6);
  EXPECT_EQ(created_.size(), 3u);
  EXPECT_FALSE(session_->hasSpareEncoder());
}

TEST_F(EncoderSessionTest, CreationFailureIsReportedOnceAndStopsStreaming) {
  failCreation_ = VideoEncoderError{VideoEncoderError::Code::hardwareUnavailable, -19};
  frame(64, 64, 1);
  frame(64, 64, 2);
  EXPECT_EQ(errors_, (std::vector<std::string>{
                         "Failed to create HEVC encoder: hardware low-latency encoding is "
                         "unavailable on this computer (status -19)."}));
  EXPECT_TRUE(submissions_.empty());
}

TEST(EncoderTuning, RateCapAndKeyframeInterval) {
  EXPECT_EQ(platform::dataRateLimitBytesPerSecond(1), 188);  // ceil(187.5)
  EXPECT_EQ(platform::maxKeyframeIntervalFrames(60), 120);
}

}  // namespace
}  // namespace ferrowin::capture
