#pragma once
// The UDP/ARQ replay buffer: every fragment datagram sent, kept byte for byte for 2 s (at most 2000
// of them), so a retransmission request can be served with exactly the bytes first sent.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "protocol/wire.h"

namespace ferrowin::video {

class VideoReplayBuffer {
 public:
  static constexpr double kMaxAgeSec = 2.0;
  static constexpr size_t kMaxEntries = 2000;

  /// Appends, then drops entries older than now − 2 s and the oldest beyond 2000. Thread-safe.
  void store(uint32_t sequence, Bytes datagram, double now);
  /// The oldest entry with that sequence. Lookups do not prune.
  std::optional<Bytes> lookup(uint32_t sequence) const;
  void clear();
  size_t size() const;

 private:
  struct Entry {
    uint32_t sequence;
    Bytes datagram;
    double timestamp;
  };

  mutable std::mutex lock_;
  std::deque<Entry> entries_;
};

}  // namespace ferrowin::video
