#pragma once
// The FEC code of UDP/FEC, shared by the host's sender and the client's receiver: every ten
// fragment datagrams form a block followed by two parity datagrams, an XOR parity P and a
// GF(2^8)-weighted parity Q (shard i weighted by i + 1), computed over the complete datagrams
// zero-padded to the longest. Any two lost datagrams of a block's twelve can be rebuilt.

#include <vector>

#include "protocol/wire.h"

namespace ferrowin::video {

inline constexpr int kFecDataShards = 10;
inline constexpr int kFecParityShards = 2;

/// The coefficient matrix: the weight of data shard `shard` in parity `parity` (0 = P, 1 = Q).
/// The field is ISA-L's GF(2^8): polynomial 0x11D, generator 2.
constexpr unsigned char fecCoefficient(int parity, int shard) {
  return parity == 0 ? 1 : static_cast<unsigned char>(shard + 1);
}

/// P and Q over `shards` (each a complete datagram), zero-padded to the longest, L bytes.
/// `p` and `q` are resized to L.
void computeFecParity(const std::vector<ByteView>& shards, Bytes& p, Bytes& q);
/// The same into caller-owned buffers of `length` bytes, `length` being the longest shard's size.
void computeFecParity(const std::vector<ByteView>& shards, uint8_t* p, uint8_t* q, size_t length);

}  // namespace ferrowin::video
