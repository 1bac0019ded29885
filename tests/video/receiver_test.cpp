#include <gtest/gtest.h>

#include "client/video/receiver_core.h"

namespace ferrowin::client {
namespace {

using namespace video;

// Fragments a message exactly as the host does (without sending).
struct HostSide {
  uint32_t sequence = 1;
  uint32_t frameId = 1;

  std::vector<Bytes> message(size_t payloadSize, uint8_t fill, bool keyframe = false) {
    const Bytes message =
        frameMessage(MessageKind::videoFrame, keyframe ? 1 : 0, 1000 + frameId, Bytes(payloadSize, fill));
    const size_t count = (message.size() + kMaxFragmentPayload - 1) / kMaxFragmentPayload;
    std::vector<Bytes> out;
    for (size_t i = 0; i < count; ++i) {
      const size_t begin = i * kMaxFragmentPayload;
      const size_t end = std::min(message.size(), begin + kMaxFragmentPayload);
      const VGVideoDatagramHeader h{.packetType = 3,
                                    .sequence = sequence++,
                                    .frameId = frameId,
                                    .fragIndex = static_cast<uint16_t>(i),
                                    .fragCount = static_cast<uint16_t>(count),
                                    .payloadLength = static_cast<uint16_t>(end - begin)};
      const ByteView slice(message.data() + begin, end - begin);
      Bytes d(kDatagramHeaderSize + slice.size());
      h.encode(d.data());
      std::copy(slice.begin(), slice.end(), d.begin() + kDatagramHeaderSize);
      out.push_back(d);
    }
    ++frameId;
    return out;
  }
};

TEST(ReceiverCore, DeliversInOrderDespiteReorderingAndDuplicates) {
  HostSide host;
  std::vector<Bytes> all;
  for (int m = 0; m < 5; ++m) {
    auto part = host.message(m == 2 ? 70000 : 10 * m + 1, static_cast<uint8_t>(m));
    all.insert(all.end(), part.begin(), part.end());
  }
  std::reverse(all.begin() + 1, all.end());  // keep the first so frame ids start at 1
  VideoReceiverCore core;
  for (const Bytes& d : all) {
    core.onDatagram(d, 1.0);
    core.onDatagram(d, 1.0);
  }
  auto delivered = core.takeDelivered();
  ASSERT_EQ(delivered.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(delivered[i].frameId, i + 1);
    EXPECT_EQ(delivered[i].payload.size(), i == 2 ? 70000u : 10 * i + 1);
    EXPECT_EQ(delivered[i].pts, 1001u + i);
  }
  // A second copy is a duplicate, or late when its message has already gone out.
  EXPECT_EQ(core.counters().duplicates + core.counters().late, all.size());
}

TEST(ReceiverCore, AsksForGapsRetriesThenGivesUp) {
  HostSide host;
  auto first = host.message(10, 1);
  auto lost = host.message(10, 2);
  auto third = host.message(10, 3);
  VideoReceiverCore core;
  core.onDatagram(first[0], 10.0);
  core.onDatagram(third[0], 10.0);
  EXPECT_TRUE(core.dueRetransmissions(10.001).empty());  // a moment for reordering
  auto due = core.dueRetransmissions(10.005);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0], std::vector<uint32_t>{2});
  EXPECT_TRUE(core.dueRetransmissions(10.02).empty());
  EXPECT_EQ(core.dueRetransmissions(10.04).size(), 1u);  // retry after 30 ms
  for (double t = 10.08; t < 10.3; t += 0.04) core.dueRetransmissions(t);
  EXPECT_EQ(core.counters().gaveUp, 1u);
  EXPECT_EQ(core.counters().requested, 5u);

  // The third message waits for the second until the loss timeout, then goes out alone.
  EXPECT_EQ(core.takeDelivered().size(), 1u);
  core.poll(10.5);
  EXPECT_TRUE(core.takeDelivered().empty());
  core.poll(11.1);
  auto late = core.takeDelivered();
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].frameId, 3u);
  EXPECT_EQ(core.counters().lostMessages, 1u);
  core.onDatagram(lost[0], 11.2);
  EXPECT_EQ(core.counters().late, 1u);

  // A retransmitted fragment fills its gap and counts as retransmitted.
  auto split = host.message(3000, 4);  // three fragments
  core.onDatagram(split[0], 12.0);
  core.onDatagram(split[2], 12.0);
  ASSERT_EQ(core.dueRetransmissions(12.01).size(), 1u);
  core.onDatagram(split[1], 12.02);
  EXPECT_EQ(core.counters().retransmitted, 1u);
  EXPECT_EQ(core.takeDelivered().size(), 1u);
}

}  // namespace
}  // namespace ferrowin::client
