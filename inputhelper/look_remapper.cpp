#include "inputhelper/look_remapper.h"

#include <algorithm>
#include <cmath>

namespace ferrowin::inputhelper {

namespace {

using common::LookRampCurve;
using common::LookStickCurve;

double stickResponse(LookStickCurve curve, double n) {
  switch (curve) {
    case LookStickCurve::linear:
      return n;
    case LookStickCurve::soft:
      return std::pow(n, 1.5);
    case LookStickCurve::wide:
      return n * n;
    case LookStickCurve::extraWide:
      return std::pow(n, 2.5);
  }
  return n;
}

double rampShape(LookRampCurve curve, double t) {
  t = std::clamp(t, 0.0, 1.0);
  switch (curve) {
    case LookRampCurve::linear:
      return t;
    case LookRampCurve::quadratic:
      return t * t;
    case LookRampCurve::cubic:
      return t * t * t;
    case LookRampCurve::smoothstep:
      return t * t * (3 - 2 * t);
    case LookRampCurve::exponential:
      return (std::exp(3 * t) - 1) / (std::exp(3.0) - 1);
  }
  return t;
}

int16_t clampToI16(double v) { return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0)); }

}  // namespace

void ServerLookRemapper::setTuning(const common::GamepadRemapLookTuning& tuning) {
  std::lock_guard guard(lock_);
  tuning_ = tuning;
}

common::GamepadRemapLookTuning ServerLookRemapper::tuning() const {
  std::lock_guard guard(lock_);
  return tuning_;
}

void ServerLookRemapper::feed(uint8_t stickX, uint8_t stickY, int16_t gyroX, int16_t gyroY) {
  const double now = clock_.now();
  std::lock_guard guard(lock_);
  stickX_ = stickX / 127.5 - 1;
  stickY_ = -(stickY / 127.5 - 1);
  gyroX_ = gyroX / 32767.0;
  gyroY_ = gyroY / 32767.0;
  lastLookUpdate_ = now;
}

bool ServerLookRemapper::resetIfIdle(double idleTimeout) {
  const double now = clock_.now();
  std::lock_guard guard(lock_);
  if (!(lastLookUpdate_ > 0 && now - lastLookUpdate_ > idleTimeout)) return false;
  lookRamp_ = 0;
  smoothX_ = smoothY_ = 0;
  haveSmooth_ = false;
  stickX_ = stickY_ = 0;
  gyroX_ = gyroY_ = 0;
  return true;
}

void ServerLookRemapper::reset() {
  std::lock_guard guard(lock_);
  lookRamp_ = 0;
  lookFracX_ = lookFracY_ = 0;
  smoothX_ = smoothY_ = 0;
  haveSmooth_ = false;
  lastTickTime_ = 0;
  stickX_ = stickY_ = 0;
  gyroX_ = gyroY_ = 0;
  lastLookUpdate_ = 0;
}

double ServerLookRemapper::lookRamp() const {
  std::lock_guard guard(lock_);
  return lookRamp_;
}

std::optional<LookMotion> ServerLookRemapper::tick() {
  const double now = clock_.now();
  std::lock_guard guard(lock_);

  double dt = lastTickTime_ > 0 ? now - lastTickTime_ : 1.0 / 120;
  lastTickTime_ = now;
  dt = std::clamp(dt, 0.001, 0.1);
  const double frame = dt * 60;

  if (haveSmooth_) {
    smoothX_ += (stickX_ - smoothX_) * 0.35;
    smoothY_ += (stickY_ - smoothY_) * 0.35;
  } else {
    smoothX_ = stickX_;
    smoothY_ = stickY_;
    haveSmooth_ = true;
  }
  const double m = std::hypot(smoothX_, smoothY_);
  const double dz = tuning_.deadzone;

  double dx = 0, dy = 0;
  if (m <= dz) {
    lookRamp_ = 0;
    if (gyroX_ == 0 && gyroY_ == 0) return std::nullopt;
  } else {
    const double n = std::clamp((m - dz) / std::max(1 - dz, 0.0001), 0.0, 1.0);
    const double curved = stickResponse(tuning_.stickCurve, n);
    const double a = tuning_.acceleration;
    double r = 1;
    if (!(a >= 0.001)) {  // also catches NaN
      lookRamp_ = 1;
    } else {
      const double a1 = std::min(a, 1.0);
      const double rampTime = 0.42 * a1 + 0.08;
      lookRamp_ = std::min(lookRamp_ + dt / rampTime, 1.0);
      const double start = 1 - 0.9 * a1;
      r = start + (1 - start) * rampShape(tuning_.rampCurve, lookRamp_);
    }
    const double k = tuning_.sensitivity * 32 * curved * r * frame / m;
    dx = smoothX_ * k;
    dy = smoothY_ * k * tuning_.verticalScale;
  }
  dx += gyroX_ * 32 * frame;
  dy += gyroY_ * 32 * frame;

  const double tx = lookFracX_ + dx;
  const double ty = lookFracY_ + dy;
  const double ix = std::trunc(tx);
  const double iy = std::trunc(ty);
  lookFracX_ = tx - ix;
  lookFracY_ = ty - iy;
  if (ix == 0 && iy == 0) return std::nullopt;
  return LookMotion{clampToI16(ix), clampToI16(iy)};
}

}  // namespace ferrowin::inputhelper
