#pragma once
// Turns the client's look stick and gyro into relative mouse motion: dead zone, response curve,
// acceleration ramp, smoothing, frame-rate independent scaling and sub-pixel carry.
//
// Three parties use it — the UDP queue feeds it, the main executor tunes it and the look thread
// ticks it — so every operation takes its lock. Nothing inside the lock blocks or allocates.

#include <cstdint>
#include <mutex>
#include <optional>

#include "common/helper_stdin.h"
#include "common/runtime/clock.h"

namespace ferrowin::inputhelper {

struct LookMotion {
  int16_t dx = 0;
  int16_t dy = 0;
  bool operator==(const LookMotion&) const = default;
};

class ServerLookRemapper {
 public:
  explicit ServerLookRemapper(const common::Clock& clock) : clock_(clock) {}

  void setTuning(const common::GamepadRemapLookTuning& tuning);
  common::GamepadRemapLookTuning tuning() const;

  /// A look datagram: stick bytes (0x80 centre; y is negated here) and raw gyro values.
  void feed(uint8_t stickX, uint8_t stickY, int16_t gyroX, int16_t gyroY);

  /// The look thread's idle rule: when the last datagram is more than `idleTimeout` old, drops the
  /// ramp, the smoothing and the inputs so a lost stream does not keep the pointer moving. Returns
  /// whether it reset.
  bool resetIfIdle(double idleTimeout);

  /// Everything back to the start, fractions and times included (session stop).
  void reset();

  /// One step of motion; empty when there is nothing to move.
  std::optional<LookMotion> tick();

  double lookRamp() const;

 private:
  const common::Clock& clock_;
  mutable std::mutex lock_;
  common::GamepadRemapLookTuning tuning_;
  double lookRamp_ = 0;
  double lookFracX_ = 0, lookFracY_ = 0;
  double smoothX_ = 0, smoothY_ = 0;
  bool haveSmooth_ = false;
  double lastTickTime_ = 0;
  double stickX_ = 0, stickY_ = 0;
  double gyroX_ = 0, gyroY_ = 0;
  double lastLookUpdate_ = 0;
};

}  // namespace ferrowin::inputhelper
