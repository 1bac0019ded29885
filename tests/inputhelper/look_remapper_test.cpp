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

// Full right: 8 counts on the first tick, ramping up to 16 a tick, until the stick has been idle
// for longer than the reset time.
TEST_F(LookRemapperTest, FullRightStickRampsUpToSixteenCountsPerTickUntilIdle) {
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

  remapper_.feed(255, 0x80, 0, 0);
  clock_.advance(0.25);
  EXPECT_FALSE(remapper_.resetIfIdle(0.25));
  clock_.advance(0.001);
  EXPECT_TRUE(remapper_.resetIfIdle(0.25));
  EXPECT_EQ(remapper_.lookRamp(), 0);
  EXPECT_FALSE(tickAfter(kTick));
}

TEST_F(LookRemapperTest, FirstTickFollowsTheTuning) {
  // Without acceleration the first tick moves 16 · sensitivity counts at full deflection, shaped
  // by the dead zone, the stick curve and the vertical scale.
  struct Case {
    const char* what;
    GamepadRemapLookTuning tuning;
    uint8_t stickX, stickY;
    int16_t gyroY;
    std::optional<LookMotion> motion;
  };
  const auto tuned = [](double sensitivity, double deadzone, double verticalScale,
                        LookStickCurve curve) {
    return GamepadRemapLookTuning{.sensitivity = sensitivity,
                                  .acceleration = 0,
                                  .deadzone = deadzone,
                                  .stickCurve = curve,
                                  .verticalScale = verticalScale};
  };
  const double dz = GamepadRemapLookTuning{}.deadzone;
  const uint8_t half = static_cast<uint8_t>(1.5 * 127.5);  // ≈ 0.5 right
  const Case cases[] = {
      {"inside the dead zone", tuned(1, 0.25, 1, LookStickCurve::linear), stickByte(0.2), 0x80, 0,
       std::nullopt},
      // At 0.6235 deflection n is just under 0.5: 7.98 counts, the rest carried.
      {"beyond the dead zone", tuned(1, 0.25, 1, LookStickCurve::linear),
       static_cast<uint8_t>(1.625 * 127.5), 127, 0, LookMotion{7, 0}},
      // Doubled; just under 32 because 0x80 is 1/255 off centre. Stick byte 0 is down the screen.
      {"vertical scale on the stick", tuned(1, dz, 2, LookStickCurve::linear), 0x80, 0, 0,
       LookMotion{0, 31}},
      {"vertical scale not on the gyro", tuned(1, dz, 2, LookStickCurve::linear), 0x80, 0x80,
       32767, LookMotion{0, 16}},
      // Length 16 along (1, -1)/√2: 11.3 each way.
      {"corner along the diagonal", tuned(1, 0, 1, LookStickCurve::linear), 255, 255, 0,
       LookMotion{11, -11}},
      // n ≈ 0.498: 64·n, 64·n^1.5, 64·n², 64·n^2.5 counts per tick.
      {"linear curve", tuned(4, 0, 1, LookStickCurve::linear), half, 0x80, 0, LookMotion{31, 0}},
      {"soft curve", tuned(4, 0, 1, LookStickCurve::soft), half, 0x80, 0, LookMotion{22, 0}},
      {"wide curve", tuned(4, 0, 1, LookStickCurve::wide), half, 0x80, 0, LookMotion{15, 0}},
      {"extra wide curve", tuned(4, 0, 1, LookStickCurve::extraWide), half, 0x80, 0,
       LookMotion{11, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    remapper_.reset();
    remapper_.setTuning(c.tuning);
    remapper_.feed(c.stickX, c.stickY, 0, c.gyroY);
    EXPECT_EQ(remapper_.tick(), c.motion);
  }
}

TEST_F(LookRemapperTest, SmallDeflectionsAccumulateFractions) {
  remapper_.setTuning({.acceleration = 0});
  remapper_.feed(0x80, 0x80, 1000, 0);  // gyro 0.0305 → 0.488 counts per tick
  int moved = 0;
  for (int tick = 0; tick < 40; ++tick) {
    if (auto m = tickAfter(kTick)) moved += m->dx;
  }
  EXPECT_EQ(moved, static_cast<int>(40 * 1000.0 / 32767 * 32 * 0.5));
}

}  // namespace
}  // namespace ferrowin::inputhelper
