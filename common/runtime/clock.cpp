#include "common/runtime/clock.h"

#include <time.h>

#include <cmath>
#include <vector>

#include <asio/steady_timer.hpp>

namespace ferrowin::common {

int64_t toMicros(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1e6)); }
double fromMicros(int64_t micros) { return static_cast<double>(micros) / 1e6; }

double SteadyClock::now() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

SteadyClock& SteadyClock::instance() {
  static SteadyClock clock;
  return clock;
}

namespace {

class AsioTimer final : public Timer {
 public:
  explicit AsioTimer(const asio::any_io_executor& executor)
      : state_(std::make_shared<State>(executor)) {}
  ~AsioTimer() override { cancel(); }

  void start(double delaySeconds, std::function<void()> fire) override {
    const uint64_t armed = ++state_->generation;
    state_->timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(delaySeconds < 0 ? 0 : delaySeconds)));
    // The handler holds only a weak reference: a timer destroyed while its wait is queued
    // must not fire.
    state_->timer.async_wait([weak = std::weak_ptr<State>(state_), armed,
                              fire = std::move(fire)](const std::error_code& ec) {
      auto state = weak.lock();
      if (ec || !state || state->generation != armed) return;
      fire();
    });
  }

  void cancel() override {
    ++state_->generation;
    state_->timer.cancel();
  }

 private:
  struct State {
    explicit State(const asio::any_io_executor& executor) : timer(executor) {}
    asio::steady_timer timer;
    uint64_t generation = 0;
  };
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<Timer> AsioTimerFactory::makeTimer() {
  return std::make_unique<AsioTimer>(executor_);
}

class ManualClock::ManualTimer final : public Timer {
 public:
  explicit ManualTimer(ManualClock& clock) : clock_(clock) {}
  ~ManualTimer() override { cancel(); }

  void start(double delaySeconds, std::function<void()> fire) override {
    cancel();
    id_ = clock_.arm(this, clock_.now() + (delaySeconds < 0 ? 0 : delaySeconds), std::move(fire));
  }
  void cancel() override {
    if (id_ != 0) clock_.disarm(id_);
    id_ = 0;
  }
  void firedExternally() { id_ = 0; }

 private:
  ManualClock& clock_;
  uint64_t id_ = 0;
};

ManualClock::~ManualClock() = default;

double ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::unique_ptr<Timer> ManualClock::makeTimer() { return std::make_unique<ManualTimer>(*this); }

uint64_t ManualClock::arm(ManualTimer* owner, double deadline, std::function<void()> fire) {
  std::lock_guard lock(mutex_);
  const uint64_t id = nextId_++;
  timers_.emplace(std::make_pair(deadline, id), Entry{owner, std::move(fire)});
  return id;
}

void ManualClock::disarm(uint64_t id) {
  std::lock_guard lock(mutex_);
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->first.second == id) {
      timers_.erase(it);
      return;
    }
  }
}

void ManualClock::advance(double seconds) {
  double target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + seconds;
  }
  for (;;) {
    std::function<void()> fire;
    {
      std::lock_guard lock(mutex_);
      auto it = timers_.begin();
      if (it == timers_.end() || it->first.first > target) break;
      now_ = std::max(now_, it->first.first);
      it->second.owner->firedExternally();
      fire = std::move(it->second.fire);
      timers_.erase(it);
    }
    fire();  // may re-arm timers, including ones due before `target`
  }
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, target);
}

}  // namespace ferrowin::common
