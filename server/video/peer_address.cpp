#include "server/video/peer_address.h"

namespace ferrowin::video {

std::string peerAddressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  std::string text = address.to_string();
  if (auto percent = text.find('%'); percent != std::string::npos) text.resize(percent);
  return text;
}

std::string endpointText(const asio::ip::address& address, unsigned short port) {
  std::string host = peerAddressText(address);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

}  // namespace ferrowin::video
