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
  std::vector<uint16_t> applied() const {
    std::vector<uint16_t> out;
    for (const auto& r : sink_->reports()) out.push_back(r.buttons);
    return out;
  }

  common::ManualClock clock_;
  std::shared_ptr<testing::RecordingSink> sink_ = std::make_shared<testing::RecordingSink>();
  GamepadApplier applier_{sink_, clock_};
};

TEST_F(ApplierTest, DropsDuplicateAndLateSequences) {
  EXPECT_TRUE(applier_.apply(100, pressed(100)));
  EXPECT_FALSE(applier_.apply(99, pressed(99)));
  EXPECT_FALSE(applier_.apply(100, pressed(100)));
  EXPECT_TRUE(applier_.apply(101, pressed(101)));
  EXPECT_EQ(applied(), (std::vector<uint16_t>{100, 101}));
}

TEST_F(ApplierTest, FarBehindIsANewStreamAndZeroAlwaysResets) {
  EXPECT_TRUE(applier_.apply(2000, pressed(1)));
  EXPECT_TRUE(applier_.apply(5, pressed(2)));  // more than 1024 behind
  EXPECT_TRUE(applier_.apply(1029, pressed(3)));
  EXPECT_FALSE(applier_.apply(5, pressed(4)));  // exactly 1024 behind: late
  EXPECT_TRUE(applier_.apply(0, pressed(5)));
  EXPECT_TRUE(applier_.apply(0, pressed(6)));
  EXPECT_TRUE(applier_.apply(1, pressed(7)));
  EXPECT_EQ(applied(), (std::vector<uint16_t>{1, 2, 3, 5, 6, 7}));
}

TEST_F(ApplierTest, WrappedSequenceIsAccepted) {
  EXPECT_TRUE(applier_.apply(0xFFFFFFF0, pressed(1)));
  EXPECT_TRUE(applier_.apply(3, pressed(2)));
}

TEST_F(ApplierTest, FailsafeRecentresOnceUntilTheNextReport) {
  ferrowin::testing::LogCapture logs;
  EXPECT_FALSE(applier_.failsafeCheck(1.0));  // nothing applied yet
  clock_.advance(5);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));

  applier_.apply(1, pressed(9));
  clock_.advance(0.999);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));
  clock_.advance(0.001);
  EXPECT_TRUE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports().back(), VirtualGamepadInputReport{});
  clock_.advance(10);
  EXPECT_FALSE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports().size(), 2u);
  EXPECT_EQ(logs.records(),
            (std::vector<std::string>{"com.zavel.ferrowin.server/gamepad|failsafe: no packets "
                                      "within timeout; recentered gamepad"}));

  applier_.apply(2, pressed(8));
  clock_.advance(1.0);
  EXPECT_TRUE(applier_.failsafeCheck(1.0));
  EXPECT_EQ(sink_->reports().size(), 4u);
}

}  // namespace
}  // namespace ferrowin::inputhelper
