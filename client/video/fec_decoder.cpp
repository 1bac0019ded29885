#include "client/video/fec_decoder.h"

#include "server/video/fec_sender.h"
#include "server/video/gf256.h"

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

  // Remove the known shards from the parities: P' = Σ missing D, Q' = Σ c·D over the missing.
  Bytes pRest = p ? *p : Bytes();
  Bytes qRest = q ? *q : Bytes();
  for (int i = 0; i < kFecDataShards; ++i) {
    if (!block.shards[i]) continue;
    const Bytes& d = *block.shards[i];
    if (p) gf256::xorRegion(pRest.data(), d.data(), d.size());
    if (q) gf256::mulAddRegion(qRest.data(), d.data(), static_cast<uint8_t>(i + 1), d.size());
  }

  std::vector<std::pair<int, Bytes>> rebuilt;
  if (missing.size() == 1) {
    const int x = missing[0];
    if (p) {
      rebuilt.emplace_back(x, std::move(pRest));
    } else {
      gf256::mulRegion(qRest.data(), gf256::inverse(static_cast<uint8_t>(x + 1)), length);
      rebuilt.emplace_back(x, std::move(qRest));
    }
  } else {
    // cx·Dx + cy·Dy = Q', Dx + Dy = P'  →  Dx = (Q' + cy·P') / (cx + cy), Dy = P' + Dx.
    const int x = missing[0], y = missing[1];
    const uint8_t cx = static_cast<uint8_t>(x + 1), cy = static_cast<uint8_t>(y + 1);
    Bytes dx = qRest;
    gf256::mulAddRegion(dx.data(), pRest.data(), cy, length);
    gf256::mulRegion(dx.data(), gf256::inverse(static_cast<uint8_t>(cx ^ cy)), length);
    Bytes dy = pRest;
    gf256::xorRegion(dy.data(), dx.data(), length);
    rebuilt.emplace_back(x, std::move(dx));
    rebuilt.emplace_back(y, std::move(dy));
  }

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
