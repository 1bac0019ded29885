#pragma once
// The sending side of UDP/FEC: numbers the fragment datagrams into blocks of ten and sends the two
// parity datagrams of protocol/fec.h after each block.

#include <array>
#include <mutex>
#include <vector>

#include "protocol/fec.h"

namespace ferrowin::video {

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
