#include "server/video/client_liveness.h"

namespace ferrowin::video {

void VideoClientLiveness::start(std::function<void()> onSilent) {
  std::unique_ptr<common::RepeatingTimer> old;
  std::lock_guard guard(lock_);
  const uint64_t g = ++generation_;
  lastActivity_ = clock_.now();
  if (timer_) timer_->stop();
  old = std::move(timer_);
  timer_ = std::make_unique<common::RepeatingTimer>(clock_, timers_, [this, g, onSilent] {
    {
      std::lock_guard tickGuard(lock_);
      if (generation_ != g || clock_.now() - lastActivity_ <= kSilenceLimitSec) return;
      ++generation_;
      // The timer is running this very tick, so it is only stopped here and destroyed later.
      timer_->stop();
    }
    onSilent();
  });
  timer_->start();
}

void VideoClientLiveness::touch() {
  std::lock_guard guard(lock_);
  lastActivity_ = clock_.now();
}

void VideoClientLiveness::stop() {
  std::lock_guard guard(lock_);
  ++generation_;
  if (timer_) timer_->stop();
}

}  // namespace ferrowin::video
