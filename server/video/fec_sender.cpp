#include "server/video/fec_sender.h"

#include <algorithm>

#include "server/video/gf256.h"

namespace ferrowin::video {

void computeFecParity(const std::vector<ByteView>& shards, Bytes& p, Bytes& q) {
  size_t length = 0;
  for (ByteView shard : shards) length = std::max(length, shard.size());
  p.assign(length, 0);
  q.assign(length, 0);
  // Zero padding contributes nothing to either sum, so each shard is only added over its own length.
  for (size_t i = 0; i < shards.size(); ++i) {
    gf256::xorRegion(p.data(), shards[i].data(), shards[i].size());
    gf256::mulAddRegion(q.data(), shards[i].data(), static_cast<uint8_t>(i + 1), shards[i].size());
  }
}

std::vector<Bytes> VideoFECSender::add(VGVideoDatagramHeader& header, ByteView payload) {
  std::vector<PendingShard> block;
  uint8_t blockNumber = 0;
  {
    std::lock_guard guard(lock_);
    header.fecBlockId = blockId_;
    header.fecShardIndex = static_cast<uint8_t>(pending_.size());
    pending_.push_back({header, Bytes(payload.begin(), payload.end())});
    if (pending_.size() < kFecDataShards) return {};
    block.swap(pending_);
    blockNumber = blockId_++;
  }

  std::vector<Bytes> values;
  std::vector<ByteView> views;
  values.reserve(block.size());
  for (const PendingShard& shard : block) {
    Bytes value(kDatagramHeaderSize + shard.payload.size());
    shard.header.encode(value.data());
    std::copy(shard.payload.begin(), shard.payload.end(), value.begin() + kDatagramHeaderSize);
    values.push_back(std::move(value));
    views.emplace_back(values.back());
  }
  Bytes parity[2];
  computeFecParity(views, parity[0], parity[1]);

  std::vector<Bytes> datagrams;
  for (uint8_t p = 0; p < 2; ++p) {
    VGVideoDatagramHeader h;
    h.packetType = static_cast<uint8_t>(PacketType::fecParity);
    h.sequence = block.back().header.sequence + 1 + p;
    h.fecBlockId = blockNumber;
    h.fecShardIndex = static_cast<uint8_t>(kFecDataShards + p);
    h.payloadLength = static_cast<uint16_t>(parity[p].size());
    Bytes datagram(kDatagramHeaderSize + parity[p].size());
    h.encode(datagram.data());
    std::copy(parity[p].begin(), parity[p].end(), datagram.begin() + kDatagramHeaderSize);
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

void VideoFECSender::reset() {
  std::lock_guard guard(lock_);
  pending_.clear();
  blockId_ = 0;
}

}  // namespace ferrowin::video
