#pragma once
// The silence watch of both video transports: a client flow that sends nothing for 10 s is stopped.
// A repeating check (first after 1 s, then every second) compares now with the last activity; the
// generation number makes a check that raced with stop() or a newer start() do nothing.
//
// start() and stop() run on the owning transport's queue (the executor behind `timers`); touch()
// may run anywhere.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "common/runtime/clock.h"
#include "common/runtime/repeating_timer.h"

namespace ferrowin::video {

class VideoClientLiveness {
 public:
  static constexpr double kSilenceLimitSec = 10.0;

  VideoClientLiveness(const common::Clock& clock, common::TimerFactory& timers)
      : clock_(clock), timers_(timers) {}

  /// Starts (or restarts) the watch; `onSilent` runs at most once for this start, on the queue.
  void start(std::function<void()> onSilent);
  void touch();
  void stop();

 private:
  const common::Clock& clock_;
  common::TimerFactory& timers_;
  std::mutex lock_;
  std::unique_ptr<common::RepeatingTimer> timer_;
  double lastActivity_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace ferrowin::video
