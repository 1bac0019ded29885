#pragma once
// Helpers for the host's asynchronous flows (await a stop, sleep 50 ms, await a prepare), written as
// C++20 coroutines on the main executor. A flow that may be superseded takes a ticket from a
// Generation when it starts and checks it after every co_await.

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "common/runtime/clock.h"

namespace ferrowin::common {

/// Counts flows. begin() supersedes every earlier ticket.
class Generation {
 public:
  uint64_t begin() { return ++current_; }
  bool isCurrent(uint64_t ticket) const { return ticket == current_; }
  uint64_t current() const { return current_; }

 private:
  uint64_t current_ = 0;
};

/// Suspends the calling coroutine for `seconds` on `timers` (real or manual) and resumes it on
/// the coroutine's executor.
inline asio::awaitable<void> sleepFor(TimerFactory& timers, double seconds) {
  std::unique_ptr<Timer> timer = timers.makeTimer();
  co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
      [&timer, seconds](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        timer->start(seconds, [shared] {
          auto executor = asio::get_associated_executor(*shared);
          asio::dispatch(executor, std::move(*shared));
        });
      },
      asio::use_awaitable);
}

/// Runs `work` on `executor` (a worker queue) and resumes the calling coroutine on its own
/// executor with the result: blocking work (X11 queries, screenshots, JPEG encoding) stays off the
/// main thread while the flow awaits it. `work` may only hold pointers and plain values (to state
/// the awaiting flow keeps alive): GCC 12 can destroy a coroutine's by-value lambda argument
/// twice, which is harmless only for what has no destructor.
template <class Executor, class F>
auto runOn(Executor executor, F work) -> asio::awaitable<std::invoke_result_t<F&>> {
  static_assert(std::is_trivially_destructible_v<F>, "capture pointers, not owners");
  using Result = std::invoke_result_t<F&>;
  co_return co_await asio::co_spawn(
      executor, [work]() mutable -> asio::awaitable<Result> { co_return work(); },
      asio::use_awaitable);
}

/// Starts a detached flow on `executor`. Exceptions escaping a flow are a programming error.
template <class Executor>
void spawn(Executor executor, asio::awaitable<void> flow) {
  asio::co_spawn(executor, std::move(flow), [](std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
  });
}

}  // namespace ferrowin::common
