#include "inputhelper/look_thread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "common/runtime/serial_queue.h"

namespace ferrowin::inputhelper {

namespace {

constexpr int64_t kPeriodNs = 8'333'333;

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntil(int64_t deadlineNs) {
  timespec ts{static_cast<time_t>(deadlineNs / 1'000'000'000),
              static_cast<long>(deadlineNs % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

LookThread::LookThread(std::shared_ptr<ServerLookRemapper> remapper,
                       std::weak_ptr<MouseInput> mouse)
    : remapper_(std::move(remapper)), mouse_(std::move(mouse)) {}

LookThread::~LookThread() { stop(); }

void LookThread::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void LookThread::stop() {
  {
    std::lock_guard guard(lock_);
    stopped_ = true;
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool LookThread::stopped() {
  std::lock_guard guard(lock_);
  return stopped_;
}

void LookThread::run() {
  common::nameCurrentThread("com.zavel.ferrowin.look");
  // Real-time priority where the process may have it; an ordinary thread otherwise.
  sched_param param{};
  param.sched_priority = 1;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

  int64_t deadline = monotonicNs();
  while (!stopped()) {
    remapper_->resetIfIdle(kStickIdleTimeout);
    if (auto motion = remapper_->tick()) {
      if (auto mouse = mouse_.lock()) mouse->postRelative(motion->dx, motion->dy);
    }
    deadline += kPeriodNs;
    const int64_t now = monotonicNs();
    if (now < deadline) {
      sleepUntil(deadline);
    } else if (now - deadline > 4 * kPeriodNs) {
      deadline = now;
    }
  }
}

}  // namespace ferrowin::inputhelper
