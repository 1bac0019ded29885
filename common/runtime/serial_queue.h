#pragma once
// A named serial queue: one dedicated thread running its own io_context. Work posted to it runs in
// order, one item at a time. The label (for example "com.zavel.ferrowin.video.udp") names the thread
// so it shows in top/gdb.

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <functional>
#include <string>
#include <thread>

namespace ferrowin::common {

class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  /// Stops the thread. Work still queued is dropped; work running finishes first.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }
  asio::io_context& context() { return context_; }
  asio::io_context::executor_type executor() { return context_.get_executor(); }
  bool isCurrent() const { return context_.get_executor().running_in_this_thread(); }

  template <class F>
  void post(F&& work) {
    asio::post(context_, std::forward<F>(work));
  }

  /// Runs `work` on the queue and waits for it. Must not be called from the queue itself.
  void sync(const std::function<void()>& work);

 private:
  std::string label_;
  mutable asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

/// Sets the calling thread's name from a queue label (dropping the common prefix, then keeping the
/// 15 characters the kernel allows).
void nameCurrentThread(const std::string& label);

}  // namespace ferrowin::common
