#include "common/util/peer_address.h"

#include <gtest/gtest.h>

namespace ferrowin::common {
namespace {

TEST(PeerAddress, OneTextPerClientWhicheverWayItConnected) {
  const auto text = [](const char* address) {
    return peerAddressText(asio::ip::make_address(address));
  };
  EXPECT_EQ(text("::ffff:192.168.1.20"), "192.168.1.20");  // dual-stack socket, IPv4 client
  EXPECT_EQ(text("fe80::1%1"), "fe80::1");
  EXPECT_EQ(endpointText(asio::ip::make_address("::ffff:10.0.0.7"), 52000), "10.0.0.7:52000");
  EXPECT_EQ(endpointText(asio::ip::make_address("fe80::1%2"), 52000), "[fe80::1]:52000");
}

}  // namespace
}  // namespace ferrowin::common
