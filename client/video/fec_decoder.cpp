#include "client/video/fec_decoder.h"

#include <isa-l/erasure_code.h>

#include "protocol/fec.h"

namespace ferrowin::client {
namespace {

using namespace video;

constexpr uint32_t kSameBlockWindow = 1000;

bool near(uint32_t a, uint32_t b) {
  const uint32_t d = a - b;
  return d < kSameBlockWindow || -d < kSameBlockWindow;
}

}  // namespace

std::vector<Bytes> FecDecoder::add(const VGVideoDatagramHeader& header, ByteView datagram) {
  if (header.fecShardIndex >= kFecDataShards + kFecParityShards) return {};
  const bool parity = header.packetType == static_cast<uint8_t>(PacketType::fecParity);
  if (parity != (header.fecShardIndex >= kFecDataShards)) return {};
  Block& block = blocks_[header.fecBlockId];
  if (block.referenceSequence && !near(*block.referenceSequence, header.sequence)) block = Block{};
  if (!block.referenceSequence) block.referenceSequence = header.sequence;
  auto& slot = block.shards[header.fecShardIndex];
  if (block.done || slot) return {};
  // Parity shards carry the padded length; the payload is what the sum was taken over.
  slot = parity ? Bytes(datagram.begin() + kDatagramHeaderSize, datagram.end())
                : Bytes(datagram.begin(), datagram.end());
  return tryRecover(block);
}

std::vector<Bytes> FecDecoder::tryRecover(Block& block) {
  std::vector<int> missing;
  for (int i = 0; i < kFecDataShards; ++i) {
    if (!block.shards[i]) missing.push_back(i);
  }
  if (missing.empty()) {
    block.done = true;
    return {};
  }
  const auto& p = block.shards[10];
  const auto& q = block.shards[11];
  const size_t available = (p ? 1 : 0) + (q ? 1 : 0);
  if (missing.size() > available) return {};
  const size_t length = p ? p->size() : q->size();
  if ((p && p->size() != length) || (q && q->size() != length)) return {};
  for (int i = 0; i < kFecDataShards; ++i) {
    if (block.shards[i] && block.shards[i]->size() > length) return {};  // not from this block
  }

  // Rows of the code: data shard i is the unit row e_i, P the row of ones, Q the row 1, 2, …, 10.
  // Ten available rows (the data shards we have, then as many parities as shards are missing)
  // form an invertible matrix; row x of its inverse rebuilds data shard x from those ten.
  std::array<unsigned char, kFecDataShards * kFecDataShards> rows{};
  std::array<Bytes, kFecDataShards> known;
  std::array<unsigned char*, kFecDataShards> sources{};
  int used = 0;
  for (int i = 0; i < kFecDataShards; ++i) {
    if (!block.shards[i]) continue;
    rows[used * kFecDataShards + i] = 1;
    Bytes& shard = *block.shards[i];
    if (shard.size() < length) {  // zero-padded to the parity's length
      known[used] = shard;
      known[used].resize(length, 0);
    }
    sources[used] = shard.size() < length ? known[used].data() : shard.data();
    ++used;
  }
  for (int parity = 0; parity < kFecParityShards && used < kFecDataShards; ++parity) {
    auto& shard = block.shards[kFecDataShards + parity];
    if (!shard) continue;
    for (int i = 0; i < kFecDataShards; ++i) {
      rows[used * kFecDataShards + i] = fecCoefficient(parity, i);
    }
    sources[used] = shard->data();
    ++used;
  }
  std::array<unsigned char, kFecDataShards * kFecDataShards> inverse{};
  if (gf_invert_matrix(rows.data(), inverse.data(), kFecDataShards) != 0) return {};

  const int lost = static_cast<int>(missing.size());
  std::array<unsigned char, kFecParityShards * kFecDataShards> decode{};
  std::array<unsigned char, 32 * kFecParityShards * kFecDataShards> tables{};
  std::vector<std::pair<int, Bytes>> rebuilt;
  std::array<unsigned char*, kFecParityShards> outputs{};
  for (int m = 0; m < lost; ++m) {
    std::copy_n(inverse.begin() + missing[m] * kFecDataShards, kFecDataShards,
                decode.begin() + m * kFecDataShards);
    rebuilt.emplace_back(missing[m], Bytes(length));
    outputs[m] = rebuilt.back().second.data();
  }
  ec_init_tables(kFecDataShards, lost, decode.data(), tables.data());
  ec_encode_data(static_cast<int>(length), kFecDataShards, lost, tables.data(), sources.data(),
                 outputs.data());

  std::vector<Bytes> recovered;
  for (auto& [index, padded] : rebuilt) {
    if (padded.size() < kDatagramHeaderSize) return recovered;
    const size_t real = kDatagramHeaderSize + getU16(padded.data() + 32);
    if (real > padded.size()) return recovered;
    padded.resize(real);
    if (!parseDatagram(padded)) return recovered;
    block.shards[index] = padded;
    recovered.push_back(std::move(padded));
  }
  block.done = true;
  return recovered;
}

}  // namespace ferrowin::client
