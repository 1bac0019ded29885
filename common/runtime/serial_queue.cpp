#include "common/runtime/serial_queue.h"

#include <pthread.h>

#include <future>

namespace ferrowin::common {

void nameCurrentThread(const std::string& label) {
  static constexpr std::string_view kPrefix = "com.zavel.ferrowin.";
  std::string name = label.starts_with(kPrefix) ? label.substr(kPrefix.size()) : label;
  if (name.size() > 15) name.resize(15);
  pthread_setname_np(pthread_self(), name.c_str());
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), guard_(asio::make_work_guard(context_)) {
  thread_ = std::thread([this] {
    nameCurrentThread(label_);
    context_.run();
  });
}

SerialQueue::~SerialQueue() {
  guard_.reset();
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

void SerialQueue::sync(const std::function<void()>& work) {
  std::promise<void> done;
  post([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace ferrowin::common
