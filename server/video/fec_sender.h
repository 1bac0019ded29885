#pragma once
// Forward error correction for UDP/FEC: every ten fragment datagrams form a block followed by two
// parity datagrams, an XOR parity P and a GF(2^8)-weighted parity Q (shard i weighted by i + 1). A
// receiver that loses any two of the twelve datagrams of a block can rebuild the lost fragments.

#include <array>
#include <mutex>
#include <vector>

#include "server/video/wire.h"

namespace ferrowin::video {

inline constexpr int kFecDataShards = 10;
inline constexpr int kFecParityShards = 2;

/// P and Q over `shards` (each a complete datagram), zero-padded to the longest, L bytes.
/// `p` and `q` are resized to L.
void computeFecParity(const std::vector<ByteView>& shards, Bytes& p, Bytes& q);
/// The same into caller-owned buffers of `length` bytes, `length` being the longest shard's size.
void computeFecParity(const std::vector<ByteView>& shards, uint8_t* p, uint8_t* q, size_t length);

class VideoFECSender {
 public:
  /// Sets the header's fecBlockId and fecShardIndex for the next shard of the current block. When
  /// this fragment completes a block, returns the P and Q datagrams to send right after it (in that
  /// order); otherwise returns nothing. Thread-safe.
  std::vector<Bytes> add(VGVideoDatagramHeader& header, ByteView payload);

  /// Drops a partial block and restarts numbering at block 0.
  void reset();

 private:
  std::mutex lock_;
  uint8_t blockId_ = 0;
  std::array<Bytes, kFecDataShards> pending_;  // encoded datagrams of the current block
  size_t pendingCount_ = 0;
};

}  // namespace ferrowin::video
