#pragma once
// Rebuilds lost fragment datagrams of a UDP/FEC stream. Each block is ten data datagrams (shards
// 0-9) and two parity datagrams: P (XOR) and Q (shard i weighted by i + 1 in GF(2^8)), computed
// over the complete datagrams zero-padded to the longest. Any two lost datagrams of the twelve can
// be rebuilt.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "protocol/wire.h"

namespace ferrowin::client {

using video::ByteView;
using video::Bytes;

class FecDecoder {
 public:
  /// Feeds a fragment (type 3) or parity (type 5) datagram that parsed. Returns the fragment
  /// datagrams this made recoverable (complete, parseable datagrams).
  std::vector<Bytes> add(const video::VGVideoDatagramHeader& header, ByteView datagram);

  size_t openBlocks() const { return blocks_.size(); }

 private:
  struct Block {
    std::optional<uint32_t> referenceSequence;
    std::array<std::optional<Bytes>, 12> shards;
    bool done = false;
  };
  std::vector<Bytes> tryRecover(Block& block);

  // Block numbers wrap every 256 blocks; a block whose sequences are far from a new shard's is an
  // old one and starts over.
  std::map<uint8_t, Block> blocks_;
};

}  // namespace ferrowin::client
