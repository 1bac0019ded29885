#pragma once
// A datagram flood at the host's video and input ports, paced to a rate per port and sent with
// sendmmsg in batches, so one thread of a two-core machine keeps up with 50 000 a second per port.
//
// Half of every port's datagrams come from strangers (127.0.0.2 and up): random bytes, and
// datagrams well formed enough to pass every parser (hellos with a valid configuration, gamepad,
// mouse, key and text packets) that only the allowlist stops. The other half come from the paired
// client's own address (127.0.0.1), each batch from a socket of its own, so from ever new ports:
// random bytes, and what a client's address may send but a flow of its own must not act on —
// video datagrams that are neither a hello nor a probe request (echo and retransmission requests,
// fragments, keepalives) and input datagrams one byte off a valid packet.

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace ferrowin::testing {

class DatagramFlood {
 public:
  struct Options {
    uint16_t videoPort = 0;
    uint16_t inputPort = 0;
    double ratePerPort = 50000;  // datagrams a second to each port
    int strangers = 10;          // 127.0.0.2 .. 127.0.0.(1 + strangers)
  };

  explicit DatagramFlood(Options options);
  ~DatagramFlood();  // stops
  DatagramFlood(const DatagramFlood&) = delete;
  DatagramFlood& operator=(const DatagramFlood&) = delete;

  void stop();
  /// Datagrams the kernel took from us so far, per port.
  uint64_t sentToVideo() const { return sent_[0]; }
  uint64_t sentToInput() const { return sent_[1]; }

 private:
  struct Pool {
    std::vector<std::vector<uint8_t>> fromStrangers;
    std::vector<std::vector<uint8_t>> fromClient;
  };
  void run();
  uint64_t sendBatch(int port, bool fromClient, uint64_t batch);

  Options options_;
  Pool pools_[2];
  std::vector<int> strangerSockets_;
  std::atomic<uint64_t> sent_[2] = {0, 0};
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};

/// Kernel counters of one process, from /proc.
struct ProcessSample {
  double cpuSeconds = 0;  // user + system, all threads
  double rssMegabytes = 0;
};
ProcessSample sampleProcess(int pid);

/// Datagrams the kernel dropped for the UDP sockets bound to `port` (queue full), IPv4 and IPv6.
uint64_t udpDrops(uint16_t port);

/// Least-squares slope of `values` sampled every `interval` seconds, per second.
double slopePerSecond(const std::vector<double>& values, double interval);

}  // namespace ferrowin::testing
