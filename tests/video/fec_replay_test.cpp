#include <gtest/gtest.h>

#include "server/video/fec_sender.h"
#include "server/video/replay_buffer.h"

namespace ferrowin::video {
namespace {

VGVideoDatagramHeader fragmentHeader(uint32_t sequence, size_t payload) {
  return {.packetType = static_cast<uint8_t>(PacketType::fragment),
          .sequence = sequence,
          .frameId = 1,
          .payloadLength = static_cast<uint16_t>(payload)};
}

Bytes datagramOf(const VGVideoDatagramHeader& h, const Bytes& payload) {
  Bytes out(kDatagramHeaderSize + payload.size());
  h.encode(out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + kDatagramHeaderSize);
  return out;
}

// GF(2^8) product by shift-and-add over x^8 + x^4 + x^3 + x^2 + 1, independent of any table.
uint8_t gfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
  }
  return product;
}

TEST(FecSender, NumbersShardsAndEmitsParityAfterTheTenth) {
  VideoFECSender fec;
  std::vector<Bytes> shards;
  for (int i = 0; i < 9; ++i) {
    Bytes payload(1200, static_cast<uint8_t>(i));
    auto header = fragmentHeader(100 + i, payload.size());
    EXPECT_TRUE(fec.add(header, payload).empty());
    EXPECT_EQ(header.fecBlockId, 0);
    EXPECT_EQ(header.fecShardIndex, i);
    shards.push_back(datagramOf(header, payload));
  }
  Bytes last(100, 0xEE);
  auto header = fragmentHeader(109, last.size());
  auto parity = fec.add(header, last);
  shards.push_back(datagramOf(header, last));
  ASSERT_EQ(parity.size(), 2u);

  // L = 1236: the short shard is padded with 1136 zeros.
  for (int p = 0; p < 2; ++p) {
    auto parsed = parseDatagram(parity[p]);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header.packetType, 5);
    EXPECT_EQ(parsed->header.sequence, 110u + p);
    EXPECT_EQ(parsed->header.fecShardIndex, 10 + p);
    EXPECT_EQ(parsed->header.fecBlockId, 0);
    EXPECT_EQ(parsed->header.fragCount, 1);
    EXPECT_EQ(parsed->header.frameId, 0u);
    EXPECT_EQ(parsed->payload.size(), 1236u);
  }
  // Check P and Q byte by byte from the definition.
  for (size_t j = 0; j < 1236; ++j) {
    uint8_t p = 0, q = 0;
    for (int i = 0; i < 10; ++i) {
      const uint8_t d = j < shards[i].size() ? shards[i][j] : 0;
      p ^= d;
      q ^= gfMul(static_cast<uint8_t>(i + 1), d);
    }
    ASSERT_EQ(parity[0][kDatagramHeaderSize + j], p) << j;
    ASSERT_EQ(parity[1][kDatagramHeaderSize + j], q) << j;
  }
}

TEST(ReplayBuffer, KeepsTheNewest2000ForTwoSecondsPrunedOnStoreOnly) {
  VideoReplayBuffer buffer;
  for (uint32_t s = 1; s <= 2001; ++s) buffer.store(s, {static_cast<uint8_t>(s)}, 10.0 + s * 1e-4);
  EXPECT_EQ(buffer.size(), 2000u);
  EXPECT_FALSE(buffer.lookup(1));
  buffer.store(50, {0xAA}, 11.0);
  EXPECT_EQ(*buffer.lookup(50), Bytes{50});  // a duplicate serves the oldest copy
  buffer.store(3000, {1}, 13.5);             // the others were sent more than 2 s ago
  EXPECT_FALSE(buffer.lookup(50));
  EXPECT_TRUE(buffer.lookup(3000));  // lookups never prune, however late
  buffer.clear();
  EXPECT_FALSE(buffer.lookup(3000));
}

}  // namespace
}  // namespace ferrowin::video
