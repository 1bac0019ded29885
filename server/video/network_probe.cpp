#include "server/video/network_probe.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"

namespace ferrowin::video {

int NetworkProbeSender::datagramsForStep(int rateMbps) {
  const double count = std::round(rateMbps * 1e6 * kStepDurationSec / kDatagramBits);
  return std::max(1, static_cast<int>(count));
}

NetworkProbeSender::~NetworkProbeSender() {
  cancel();
  if (!thread_.joinable()) return;
  // The probe's own send may hold the last reference to its owner.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void NetworkProbeSender::start(SendOperation send) {
  {
    std::lock_guard guard(cancelled_);
    isCancelled_ = false;
  }
  thread_ = std::thread([this, send = std::move(send)] {
    common::nameCurrentThread("com.zavel.ferrowin.netprobe");
    run(send);
  });
}

void NetworkProbeSender::cancel() {
  std::lock_guard guard(cancelled_);
  isCancelled_ = true;
}

bool NetworkProbeSender::isCancelled() {
  std::lock_guard guard(cancelled_);
  return isCancelled_;
}

bool NetworkProbeSender::waitUntil(double deadline) {
  const auto& clock = common::SteadyClock::instance();
  for (double remaining = deadline - clock.now(); remaining > 0.0004;
       remaining = deadline - clock.now()) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(remaining / 2, 0.005)));
    if (isCancelled()) return false;
  }
  return !isCancelled();
}

void NetworkProbeSender::run(const SendOperation& send) {
  const auto& clock = common::SteadyClock::instance();
  // The first wait checks for cancellation every 20 ms.
  const double firstStep = clock.now() + kInitialWaitSec;
  while (clock.now() < firstStep) {
    if (isCancelled()) return;
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::min(0.02, std::max(0.0, firstStep - clock.now()))));
  }
  uint32_t sequence = 1;
  for (size_t step = 0; step < kRatesMbps.size(); ++step) {
    const int count = datagramsForStep(kRatesMbps[step]);
    const double t0 = clock.now();
    for (int k = 0; k < count; ++k) {
      if (isCancelled()) return;
      if (!waitUntil(t0 + static_cast<double>(k) / count * kStepDurationSec)) return;
      const Bytes datagram = buildProbeDatagram(sequence, static_cast<uint8_t>(step));
      ++sequence;
      if (!send(datagram)) return;
    }
    if (!waitUntil(t0 + kStepDurationSec)) return;
  }
}

}  // namespace ferrowin::video
