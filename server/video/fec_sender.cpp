#include "server/video/fec_sender.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace ferrowin::video {
namespace {

// ISA-L's GF(2^8) is ours: polynomial 0x11D, generator 2. Its expanded tables for the 2 × 10
// coefficient matrix (P: all ones; Q: shard i weighted by i + 1) are built once.
using ParityTables = std::array<unsigned char, 32 * kFecDataShards * kFecParityShards>;

ParityTables makeParityTables(int dataShards) {
  std::array<unsigned char, kFecParityShards * kFecDataShards> matrix{};
  for (int i = 0; i < dataShards; ++i) {
    matrix[i] = 1;
    matrix[dataShards + i] = static_cast<unsigned char>(i + 1);
  }
  ParityTables tables{};
  ec_init_tables(dataShards, kFecParityShards, matrix.data(), tables.data());
  return tables;
}

}  // namespace

void computeFecParity(const std::vector<ByteView>& shards, uint8_t* p, uint8_t* q, size_t length) {
  const int count = static_cast<int>(shards.size());
  static const ParityTables fullBlock = makeParityTables(kFecDataShards);
  const ParityTables partial = count == kFecDataShards ? ParityTables{} : makeParityTables(count);
  const ParityTables& tables = count == kFecDataShards ? fullBlock : partial;

  // Shards shorter than the longest take part zero-padded; only those are copied.
  thread_local Bytes padding;
  std::array<unsigned char*, kFecDataShards> sources{};
  size_t paddedCount = 0;
  for (const ByteView shard : shards) paddedCount += shard.size() < length ? 1 : 0;
  padding.resize(paddedCount * length);
  size_t nextPadded = 0;
  for (int i = 0; i < count; ++i) {
    const ByteView shard = shards[i];
    if (shard.size() >= length) {
      sources[i] = const_cast<unsigned char*>(shard.data());
      continue;
    }
    unsigned char* copy = padding.data() + nextPadded++ * length;
    std::memcpy(copy, shard.data(), shard.size());
    std::memset(copy + shard.size(), 0, length - shard.size());
    sources[i] = copy;
  }
  unsigned char* outputs[kFecParityShards] = {p, q};
  ec_encode_data(static_cast<int>(length), count, kFecParityShards,
                 const_cast<unsigned char*>(tables.data()), sources.data(), outputs);
}

void computeFecParity(const std::vector<ByteView>& shards, Bytes& p, Bytes& q) {
  size_t length = 0;
  for (ByteView shard : shards) length = std::max(length, shard.size());
  p.resize(length);
  q.resize(length);
  computeFecParity(shards, p.data(), q.data(), length);
}

std::vector<Bytes> VideoFECSender::add(VGVideoDatagramHeader& header, ByteView payload) {
  std::lock_guard guard(lock_);
  header.fecBlockId = blockId_;
  header.fecShardIndex = static_cast<uint8_t>(pendingCount_);
  // The parity covers the complete datagram, so each shard is kept as its wire bytes; the buffers
  // keep their capacity from block to block.
  Bytes& shard = pending_[pendingCount_++];
  shard.resize(kDatagramHeaderSize + payload.size());
  header.encode(shard.data());
  std::copy(payload.begin(), payload.end(), shard.begin() + kDatagramHeaderSize);
  if (pendingCount_ < kFecDataShards) return {};

  const uint32_t lastSequence = header.sequence;
  const uint8_t blockNumber = blockId_++;
  pendingCount_ = 0;
  std::vector<ByteView> views(pending_.begin(), pending_.end());
  size_t length = 0;
  for (const Bytes& s : pending_) length = std::max(length, s.size());

  std::vector<Bytes> datagrams(kFecParityShards, Bytes(kDatagramHeaderSize + length));
  for (uint8_t p = 0; p < kFecParityShards; ++p) {
    VGVideoDatagramHeader h;
    h.packetType = static_cast<uint8_t>(PacketType::fecParity);
    h.sequence = lastSequence + 1 + p;
    h.fecBlockId = blockNumber;
    h.fecShardIndex = static_cast<uint8_t>(kFecDataShards + p);
    h.payloadLength = static_cast<uint16_t>(length);
    h.encode(datagrams[p].data());
  }
  computeFecParity(views, datagrams[0].data() + kDatagramHeaderSize,
                   datagrams[1].data() + kDatagramHeaderSize, length);
  return datagrams;
}

void VideoFECSender::reset() {
  std::lock_guard guard(lock_);
  pendingCount_ = 0;
  blockId_ = 0;
}

}  // namespace ferrowin::video
