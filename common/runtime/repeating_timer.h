#pragma once
// The repeating timer of the transport queues: first tick 1.0 s after start, then every 1.0 s.
// Ticks follow absolute deadlines (start + first + k·interval), so they do not drift; a tick that
// comes later than the leeway allows skips the deadlines it missed instead of firing in a burst.

#include <functional>
#include <memory>

#include "common/runtime/clock.h"

namespace ferrowin::common {

class RepeatingTimer {
 public:
  struct Cadence {
    double first = 1.0;
    double interval = 1.0;
    double leeway = 0.2;
  };

  /// `tick` runs on the executor behind `timers`. Not started until start().
  RepeatingTimer(const Clock& clock, TimerFactory& timers, std::function<void()> tick,
                 Cadence cadence);
  RepeatingTimer(const Clock& clock, TimerFactory& timers, std::function<void()> tick)
      : RepeatingTimer(clock, timers, std::move(tick), Cadence{}) {}

  void start();
  void stop();
  bool running() const { return running_; }

 private:
  void armNext();

  const Clock& clock_;
  std::unique_ptr<Timer> timer_;
  std::function<void()> tick_;
  Cadence cadence_;
  double nextDeadline_ = 0;
  bool running_ = false;
};

}  // namespace ferrowin::common
