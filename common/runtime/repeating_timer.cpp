#include "common/runtime/repeating_timer.h"

#include <cmath>

namespace ferrowin::common {

RepeatingTimer::RepeatingTimer(const Clock& clock, TimerFactory& timers, std::function<void()> tick,
                               Cadence cadence)
    : clock_(clock), timer_(timers.makeTimer()), tick_(std::move(tick)), cadence_(cadence) {}

void RepeatingTimer::start() {
  running_ = true;
  nextDeadline_ = clock_.now() + cadence_.first;
  armNext();
}

void RepeatingTimer::stop() {
  running_ = false;
  timer_->cancel();
}

void RepeatingTimer::armNext() {
  timer_->start(nextDeadline_ - clock_.now(), [this] {
    if (!running_) return;
    const double now = clock_.now();
    if (now > nextDeadline_ + cadence_.leeway) {
      // Late beyond the leeway (a stalled queue): skip the deadlines already missed.
      const double missed = std::floor((now - nextDeadline_) / cadence_.interval);
      nextDeadline_ += missed * cadence_.interval;
    }
    nextDeadline_ += cadence_.interval;
    armNext();
    tick_();
  });
}

}  // namespace ferrowin::common
