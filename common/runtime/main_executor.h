#pragma once
// The host's main executor: one io_context, run by the main thread. All published state, the host
// services, control routing, the video server and the helper manager live on it. Other queues hop
// here with post() for anything that touches that state.

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "common/runtime/clock.h"

namespace ferrowin::common {

class MainExecutor {
 public:
  MainExecutor() : timers_(context_.get_executor()) {}

  asio::io_context& context() { return context_; }
  asio::io_context::executor_type executor() { return context_.get_executor(); }
  TimerFactory& timers() { return timers_; }
  bool isCurrent() const { return context_.get_executor().running_in_this_thread(); }

  template <class F>
  void post(F&& work) {
    asio::post(context_, std::forward<F>(work));
  }

  /// Runs until stop() (keeps running while idle).
  void run();
  void stop() { context_.stop(); }

 private:
  mutable asio::io_context context_;
  AsioTimerFactory timers_;
};

}  // namespace ferrowin::common
