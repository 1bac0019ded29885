#pragma once
// Callbacks that hold their target weakly. Services are shared_ptr-owned by exactly one owner;
// everything else reaches them through these, and a callback whose target is gone does nothing.

#include <memory>
#include <utility>

namespace ferrowin::common {

/// Wraps `f(T&, args...)` so it runs only while `target` is alive.
template <class T, class F>
auto weakCallback(const std::shared_ptr<T>& target, F f) {
  return [weak = std::weak_ptr<T>(target), f = std::move(f)](auto&&... args) {
    if (auto strong = weak.lock()) f(*strong, std::forward<decltype(args)>(args)...);
  };
}

template <class T, class F>
auto weakCallback(const std::weak_ptr<T>& target, F f) {
  return [weak = target, f = std::move(f)](auto&&... args) {
    if (auto strong = weak.lock()) f(*strong, std::forward<decltype(args)>(args)...);
  };
}

}  // namespace ferrowin::common
