#include "server/video/fec_sender.h"

#include <algorithm>

namespace ferrowin::video {

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
