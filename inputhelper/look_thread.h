#pragma once
// The 120 Hz thread that ticks the look remapper and posts its motion to the virtual mouse. It
// sleeps to absolute deadlines so the period does not drift, and skips missed rounds instead of
// bursting when it falls more than four periods behind.

#include <memory>
#include <mutex>
#include <thread>

#include "inputhelper/look_remapper.h"
#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper {

class LookThread {
 public:
  static constexpr int kHz = 120;
  static constexpr double kStickIdleTimeout = 0.25;

  LookThread(std::shared_ptr<ServerLookRemapper> remapper, std::weak_ptr<MouseInput> mouse);
  /// Stops the thread and waits for its current round (at most one period).
  ~LookThread();

  void start();
  void stop();

 private:
  void run();
  bool stopped();

  std::shared_ptr<ServerLookRemapper> remapper_;
  std::weak_ptr<MouseInput> mouse_;
  std::mutex lock_;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace ferrowin::inputhelper
