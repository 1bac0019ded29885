#include "protocol/fec.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace ferrowin::video {
namespace {

// ISA-L's expanded tables for the 2 × 10 coefficient matrix are built once for full blocks.
using ParityTables = std::array<unsigned char, 32 * kFecDataShards * kFecParityShards>;

ParityTables makeParityTables(int dataShards) {
  std::array<unsigned char, kFecParityShards * kFecDataShards> matrix{};
  for (int parity = 0; parity < kFecParityShards; ++parity) {
    for (int i = 0; i < dataShards; ++i) {
      matrix[parity * dataShards + i] = fecCoefficient(parity, i);
    }
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

}  // namespace ferrowin::video
