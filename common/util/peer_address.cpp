#include "common/util/peer_address.h"

namespace ferrowin::common {

std::string peerAddressText(const asio::ip::address& address) {
  if (address.is_v4()) return address.to_v4().to_string();
  const auto v6 = address.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
  const std::string text = v6.to_string();
  return text.substr(0, text.find('%'));
}

std::string endpointText(const asio::ip::address& address, unsigned short port) {
  std::string host = peerAddressText(address);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

}  // namespace ferrowin::common
