#include "inputhelper/look_remapper.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ferrowin::inputhelper {
namespace {

using common::GamepadRemapLookTuning;
using common::LookRampCurve;
using common::LookStickCurve;

constexpr double kTick = 1.0 / 120;

class LookRemapperTest : public ::testing::Test {
 protected:
  std::optional<LookMotion> tickAfter(double seconds) {
    clock_.advance(seconds);
    return remapper_.tick();
  }
  // Stick byte for a deflection in [-1, 1]: b / 127.5 - 1.
  static uint8_t stickByte(double v) { return static_cast<uint8_t>(std::lround((v + 1) * 127.5)); }

  common::ManualClock clock_;
  ServerLookRemapper remapper_{clock_};
};

TEST_F(LookRemapperTest, CentredStickAndNoGyroNeverMoves) {
  remapper_.feed(0x80, 0x80, 0, 0);  // 0x80 is 0.0039 off centre, inside the default dead zone
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(tickAfter(kTick));
  EXPECT_EQ(remapper_.lookRamp(), 0);
}

TEST_F(LookRemapperTest, FullRightStickRampsUpToSixteenCountsPerTick) {
  remapper_.feed(255, 0x80, 0, 0);
  std::vector<LookMotion> motions;
  int firstFullRamp = 0;
  for (int tick = 1; tick <= 90; ++tick) {
    auto motion = remapper_.tick();
    ASSERT_TRUE(motion) << tick;
    motions.push_back(*motion);
    if (firstFullRamp == 0 && remapper_.lookRamp() == 1) firstFullRamp = tick;
    clock_.advance(kTick);
  }
  EXPECT_EQ(motions[0], (LookMotion{8, 0}));
  EXPECT_EQ(firstFullRamp, 38);
  for (int tick = 38; tick <= 90; ++tick) EXPECT_EQ(motions[tick - 1].dx, 16) << tick;
  for (int tick = 1; tick <= 90; ++tick) {
    const bool up = tick == 28 || tick == 45 || tick == 61 || tick == 77;
    EXPECT_EQ(motions[tick - 1].dy, up ? -1 : 0) << tick;
  }
}

TEST_F(LookRemapperTest, DeadZoneAndResponseBeyondIt) {
  GamepadRemapLookTuning tuning;
  tuning.deadzone = 0.25;
  tuning.acceleration = 0;
  remapper_.setTuning(tuning);
  remapper_.feed(stickByte(0.2), 0x80, 0, 0);  // |stick| ≈ 0.2
  EXPECT_FALSE(remapper_.tick());
  EXPECT_EQ(remapper_.lookRamp(), 0);

  // At 0.625 deflection n = 0.5: 32 · 0.5 · frame(0.5) = 8 counts per 1/120 s tick.
  remapper_.reset();
  remapper_.feed(static_cast<uint8_t>(1.625 * 127.5), 127, 0, 0);  // x ≈ 0.6235, y ≈ 0.0039
  auto motion = remapper_.tick();
  ASSERT_TRUE(motion);
  EXPECT_EQ(motion->dx, 7);  // n slightly under 0.5: 7.98 counts, the rest carried
}

TEST_F(LookRemapperTest, VerticalScaleScalesStickButNotGyro) {
  GamepadRemapLookTuning tuning;
  tuning.acceleration = 0;
  tuning.verticalScale = 2;
  remapper_.setTuning(tuning);
  remapper_.feed(0x80, 0, 0, 0);  // stick byte 0: stickY = +1, down the screen
  auto stick = remapper_.tick();
  ASSERT_TRUE(stick);
  // 16 per tick at full deflection, doubled; just under 32 because 0x80 is 1/255 off centre.
  EXPECT_EQ(stick->dy, 31);
  EXPECT_EQ(stick->dx, 0);

  remapper_.reset();
  remapper_.feed(0x80, 0x80, 0, 32767);  // gyro only: 32 · frame = 16, unscaled
  auto gyro = remapper_.tick();
  ASSERT_TRUE(gyro);
  EXPECT_EQ(gyro->dy, 16);
  EXPECT_EQ(gyro->dx, 0);
}

TEST_F(LookRemapperTest, SmallDeflectionsAccumulateFractions) {
  GamepadRemapLookTuning tuning;
  tuning.acceleration = 0;
  remapper_.setTuning(tuning);
  remapper_.feed(0x80, 0x80, 1000, 0);  // gyro 0.0305 → 0.488 counts per tick
  int moved = 0;
  int ticks = 0;
  for (; ticks < 40; ++ticks) {
    if (auto m = tickAfter(kTick)) moved += m->dx;
  }
  EXPECT_EQ(moved, static_cast<int>(40 * 1000.0 / 32767 * 32 * 0.5));
}

TEST_F(LookRemapperTest, CornerMovesAlongTheDiagonalAtFullLength) {
  GamepadRemapLookTuning tuning;
  tuning.acceleration = 0;
  tuning.deadzone = 0;
  remapper_.setTuning(tuning);
  remapper_.feed(255, 255, 0, 0);  // right and down... stickY = -1: down on the stick is up
  auto motion = remapper_.tick();
  ASSERT_TRUE(motion);
  // Length 16 along (1, -1)/√2: 11.3 each way.
  EXPECT_EQ(motion->dx, 11);
  EXPECT_EQ(motion->dy, -11);
}

TEST_F(LookRemapperTest, IdleResetStopsMotion) {
  remapper_.feed(255, 0x80, 0, 0);
  ASSERT_TRUE(remapper_.tick());
  clock_.advance(0.25);
  EXPECT_FALSE(remapper_.resetIfIdle(0.25));
  clock_.advance(0.001);
  EXPECT_TRUE(remapper_.resetIfIdle(0.25));
  EXPECT_EQ(remapper_.lookRamp(), 0);
  EXPECT_FALSE(tickAfter(kTick));
}

TEST_F(LookRemapperTest, CurvesShapeTheResponse) {
  GamepadRemapLookTuning tuning;
  tuning.acceleration = 0;
  tuning.deadzone = 0;
  tuning.sensitivity = 4;
  // n ≈ 0.498: 64·n, 64·n^1.5, 64·n², 64·n^2.5 counts per tick.
  const std::pair<LookStickCurve, int> expected[] = {{LookStickCurve::linear, 31},
                                                     {LookStickCurve::soft, 22},
                                                     {LookStickCurve::wide, 15},
                                                     {LookStickCurve::extraWide, 11}};
  for (auto [curve, dx] : expected) {
    tuning.stickCurve = curve;
    remapper_.reset();
    remapper_.setTuning(tuning);
    remapper_.feed(static_cast<uint8_t>(1.5 * 127.5), 0x80, 0, 0);  // ≈ 0.5 right
    auto motion = remapper_.tick();
    ASSERT_TRUE(motion);
    EXPECT_EQ(motion->dx, dx) << static_cast<int>(curve);
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
