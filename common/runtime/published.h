#pragma once
// Published<T>: a value other parts of the program observe (status texts, client state). It is
// owned by the main executor: set() from any thread stores the value and notifies observers on the
// main executor, in the order the values were set. get() returns a snapshot from any thread.

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace ferrowin::common {

/// Keeps an observation alive; destroying it removes the observer.
class ObserverToken {
 public:
  ObserverToken() = default;
  explicit ObserverToken(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  ObserverToken(ObserverToken&& other) noexcept : cancel_(std::exchange(other.cancel_, {})) {}
  ObserverToken& operator=(ObserverToken&& other) noexcept {
    reset();
    cancel_ = std::exchange(other.cancel_, {});
    return *this;
  }
  ~ObserverToken() { reset(); }
  void reset() {
    if (cancel_) std::exchange(cancel_, {})();
  }

 private:
  std::function<void()> cancel_;
};

template <class T>
class Published {
 public:
  using Observer = std::function<void(const T&)>;

  Published(asio::io_context& main, T initial)
      : main_(main), state_(std::make_shared<State>(std::move(initial))) {}

  T get() const {
    std::lock_guard lock(state_->mutex);
    return state_->value;
  }

  void set(T value) {
    {
      std::lock_guard lock(state_->mutex);
      state_->value = value;
    }
    if (main_.get_executor().running_in_this_thread()) {
      notify(*state_, value);
    } else {
      asio::post(main_, [weak = std::weak_ptr<State>(state_), value = std::move(value)] {
        if (auto state = weak.lock()) notify(*state, value);
      });
    }
  }

  /// `observer` runs on the main executor after every set(), until the token is destroyed.
  [[nodiscard]] ObserverToken observe(Observer observer) {
    std::lock_guard lock(state_->mutex);
    const uint64_t id = state_->nextId++;
    state_->observers.emplace(id, std::move(observer));
    return ObserverToken([weak = std::weak_ptr<State>(state_), id] {
      if (auto state = weak.lock()) {
        std::lock_guard guard(state->mutex);
        state->observers.erase(id);
      }
    });
  }

 private:
  struct State {
    explicit State(T initial) : value(std::move(initial)) {}
    mutable std::mutex mutex;
    T value;
    uint64_t nextId = 0;
    std::map<uint64_t, Observer> observers;
  };

  static void notify(State& state, const T& value) {
    std::map<uint64_t, Observer> observers;
    {
      std::lock_guard lock(state.mutex);
      observers = state.observers;
    }
    // Called without the lock so an observer may read or set the value again.
    for (auto& [id, observer] : observers) observer(value);
  }

  asio::io_context& main_;
  std::shared_ptr<State> state_;
};

}  // namespace ferrowin::common
