#pragma once
// The bandwidth probe: after a 1 s pause, five steps of 1.2 s at 10, 20, 30, 40 and 50 Mbit/s of
// full-size probe datagrams, paced evenly, on a dedicated thread "com.zavel.ferrowin.netprobe".
// The owner supplies the send operation; it returns false to end the run.

#include <array>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/wire.h"

namespace ferrowin::video {

class NetworkProbeSender {
 public:
  using SendOperation = std::function<bool(ByteView datagram)>;

  static constexpr std::array<int, 5> kRatesMbps = {10, 20, 30, 40, 50};
  static constexpr double kInitialWaitSec = 1.0;
  static constexpr double kStepDurationSec = 1.2;
  static constexpr int kDatagramBits = 1236 * 8;

  /// Datagrams in one step at `rateMbps`: max(1, round(rate · 10^6 · 1.2 / 9888)).
  static int datagramsForStep(int rateMbps);

  NetworkProbeSender() = default;
  /// Cancels the run and waits for the thread (at most about 50 ms while a send waits for a permit).
  ~NetworkProbeSender();
  NetworkProbeSender(const NetworkProbeSender&) = delete;
  NetworkProbeSender& operator=(const NetworkProbeSender&) = delete;

  /// Starts the run on the probe thread. Call once.
  void start(SendOperation send);
  void cancel();

 private:
  bool isCancelled();
  /// Sleeps until `deadline` (steady clock seconds) in short slices; false when cancelled.
  bool waitUntil(double deadline);
  void run(const SendOperation& send);

  std::mutex cancelled_;
  bool isCancelled_ = false;
  std::thread thread_;
};

}  // namespace ferrowin::video
