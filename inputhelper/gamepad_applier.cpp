#include "inputhelper/gamepad_applier.h"

#include "common/util/log.h"

namespace ferrowin::inputhelper {

GamepadApplier::GamepadApplier(std::shared_ptr<GamepadSink> sink, const common::Clock& clock)
    : sink_(std::move(sink)), clock_(clock), lastActivity_(clock.now()) {}

bool GamepadApplier::apply(uint32_t sequence, const VirtualGamepadInputReport& report) {
  std::lock_guard guard(lock_);
  if (isStaleSequence(sequence, lastSequence_, haveApplied_)) return false;
  lastSequence_ = sequence;
  haveApplied_ = true;
  lastActivity_ = clock_.now();
  inFailsafe_ = false;
  sink_->apply(report);
  return true;
}

bool GamepadApplier::failsafeCheck(double timeoutSeconds) {
  {
    std::lock_guard guard(lock_);
    if (!haveApplied_ || inFailsafe_ || clock_.now() - lastActivity_ < timeoutSeconds) {
      return false;
    }
    inFailsafe_ = true;
    sink_->apply(VirtualGamepadInputReport{});
  }
  common::serverLog("gamepad")->info("failsafe: no packets within timeout; recentered gamepad");
  return true;
}

}  // namespace ferrowin::inputhelper
