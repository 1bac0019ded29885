#include "common/util/udp_batch.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <thread>

namespace ferrowin::common {
namespace {

using asio::ip::udp;

struct Received {
  udp::endpoint from;
  std::vector<uint8_t> bytes;
};

TEST(UdpBatch, ReadsEveryDatagramInOrderWithItsSenderAndDropsTheOversized) {
  asio::io_context io;
  const udp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
  udp::socket receiver(io, loopback), a(io, loopback), b(io, loopback);
  const auto to = receiver.local_endpoint();
  for (uint8_t i = 0; i < 70; ++i) {
    const std::vector<uint8_t> bytes(i % 7 == 3 ? 65 : i % 5, i);  // 65 bytes: over capacity
    (i % 2 ? b : a).send_to(asio::buffer(bytes), to);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  UdpBatchReader reader(64);
  const auto drain = [&] {
    std::vector<Received> out;
    reader.drain(receiver, [&](const udp::endpoint& from, std::span<const uint8_t> bytes) {
      out.push_back({from, {bytes.begin(), bytes.end()}});
    });
    return out;
  };
  const auto got = drain();
  std::vector<uint8_t> expected;
  for (uint8_t i = 0; i < 70; ++i)
    if (i % 7 != 3) expected.push_back(i);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t k = 0; k < got.size(); ++k) {
    const uint8_t i = expected[k];
    EXPECT_EQ(got[k].bytes, std::vector<uint8_t>(i % 5, i));
    EXPECT_EQ(got[k].from, (i % 2 ? b : a).local_endpoint());
  }
  EXPECT_TRUE(drain().empty());  // nothing left, and no blocking
}

}  // namespace
}  // namespace ferrowin::common
