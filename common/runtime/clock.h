#pragma once
// The media clock and the timers that run on it.
//
// All time in the host is one monotonic clock in seconds (double). Presentation times on the wire
// are microseconds of that same clock, so a client on the same machine can measure latency exactly.
// Anything with a timeout takes a Clock (and, if it schedules, a TimerFactory) so tests can step a
// ManualClock across an edge instead of sleeping.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <asio/any_io_executor.hpp>

namespace ferrowin::common {

class Clock {
 public:
  virtual ~Clock() = default;
  /// Seconds on the monotonic media clock. Callable from any thread.
  virtual double now() const = 0;
};

/// Microseconds of the media clock, the unit of presentation times.
int64_t toMicros(double seconds);
double fromMicros(int64_t micros);

/// CLOCK_MONOTONIC in seconds. The client uses the same clock, which is what makes capture-to-display
/// latency measurable on one machine.
class SteadyClock final : public Clock {
 public:
  double now() const override;
  static SteadyClock& instance();
};

/// A one-shot timer. Owned and used by one executor; destroying it cancels it.
class Timer {
 public:
  virtual ~Timer() = default;
  /// (Re)arms the timer; a previous arming is cancelled. `fire` runs on the timer's executor.
  virtual void start(double delaySeconds, std::function<void()> fire) = 0;
  virtual void cancel() = 0;
};

class TimerFactory {
 public:
  virtual ~TimerFactory() = default;
  virtual std::unique_ptr<Timer> makeTimer() = 0;
};

/// Real timers on an Asio executor (a SerialQueue's or the main executor's).
class AsioTimerFactory final : public TimerFactory {
 public:
  explicit AsioTimerFactory(asio::any_io_executor executor) : executor_(std::move(executor)) {}
  std::unique_ptr<Timer> makeTimer() override;

 private:
  asio::any_io_executor executor_;
};

/// A clock that moves only when told to. Its timers fire inside advance(), on the caller's thread,
/// in deadline order, with now() reading each timer's deadline while it runs.
class ManualClock final : public Clock, public TimerFactory {
 public:
  explicit ManualClock(double start = 1000.0) : now_(start) {}
  ~ManualClock() override;

  double now() const override;
  std::unique_ptr<Timer> makeTimer() override;

  /// Moves time forward by `seconds`, firing every timer that falls due on the way.
  void advance(double seconds);

 private:
  class ManualTimer;
  friend class ManualTimer;
  struct Entry {
    ManualTimer* owner;
    std::function<void()> fire;
  };
  uint64_t arm(ManualTimer* owner, double deadline, std::function<void()> fire);
  void disarm(uint64_t id);

  mutable std::mutex mutex_;
  double now_;
  uint64_t nextId_ = 1;
  // (deadline, id) → entry; the id keeps equal deadlines in arming order.
  std::map<std::pair<double, uint64_t>, Entry> timers_;
};

}  // namespace ferrowin::common
