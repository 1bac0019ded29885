#include <gtest/gtest.h>

#include "inputhelper/gamepad_applier.h"
#include "tests/inputhelper/session_doubles.h"
#include "tests/support/log_capture.h"

namespace ferrowin::inputhelper {
namespace {

VirtualGamepadInputReport pressed(uint16_t buttons) {
  VirtualGamepadInputReport report;
  report.buttons = buttons;
  return report;
}

class ApplierTest : public ::testing::Test {
 protected:
  common::ManualClock clock_;
  std::shared_ptr<testing::RecordingSink> sink_ = std::make_shared<testing::RecordingSink>();
  GamepadApplier applier_{sink_, clock_};
};

TEST_F(ApplierTest, SequenceFilter) {
  const struct {
    uint32_t sequence;
    bool applied;
  } steps[] = {
      {0xFFFFFFF0, true}, {3, true},             // wrapped
      {100, true},  {99, false},  {100, false},  // late and duplicate
      {101, true},  {2000, true}, {5, true},     // more than 1024 behind: a new stream
      {1029, true}, {5, false},                  // exactly 1024 behind: late
      {0, true},    {0, true},    {1, true},     // zero always starts again
  };
  size_t applied = 0;
  for (const auto& step : steps) {
    EXPECT_EQ(applier_.apply(step.sequence, pressed(1)), step.applied) << step.sequence;
    applied += step.applied;
    EXPECT_EQ(sink_->reports.get().size(), applied) << step.sequence;
  }
}

TEST_F(ApplierTest, FailsafeRecentresOnceUntilTheNextReport) {
  ferrowin::testing::LogCapture logs;
  clock_.advance(5);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));  // nothing applied yet

  applier_.apply(1, pressed(9));
  clock_.advance(0.999);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));
  clock_.advance(0.001);
  EXPECT_TRUE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports.get().back(), VirtualGamepadInputReport{});
  clock_.advance(10);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports.get().size(), 2u);
  EXPECT_EQ(logs.records(),
            (std::vector<std::string>{"com.zavel.ferrowin.server/gamepad|failsafe: no packets "
                                      "within timeout; recentered gamepad"}));

  applier_.apply(2, pressed(8));
  clock_.advance(1.0);
  EXPECT_TRUE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports.get().size(), 4u);
}

}  // namespace
}  // namespace ferrowin::inputhelper
