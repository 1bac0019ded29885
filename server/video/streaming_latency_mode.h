#pragma once
// Keeps the machine out of deep power-saving states while a client streams: on Linux a PM QoS
// request, made by holding /dev/cpu_dma_latency open with a target of 0 µs. Where the host may not
// open it, streaming goes on without the hint and that is logged once.

#include <string>

namespace ferrowin::video {

class StreamingLatencyMode {
 public:
  explicit StreamingLatencyMode(std::string path = "/dev/cpu_dma_latency")
      : path_(std::move(path)) {}
  ~StreamingLatencyMode() { end(); }
  StreamingLatencyMode(const StreamingLatencyMode&) = delete;
  StreamingLatencyMode& operator=(const StreamingLatencyMode&) = delete;

  /// Takes the latency request unless one is held. Returns whether one is held now.
  bool begin();
  /// Drops the request when one is held.
  void end();
  bool isHeld() const { return fd_ >= 0; }

 private:
  std::string path_;
  int fd_ = -1;
  bool loggedFailure_ = false;
};

}  // namespace ferrowin::video
