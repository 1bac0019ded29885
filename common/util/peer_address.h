#pragma once
// The text form of a client's address: the key of every allowlist (control API, video transports,
// input helper). IPv4 in dotted decimal, an IPv4-mapped IPv6 address as its IPv4 form, any other
// IPv6 address in its compressed text without the "%zone" suffix.

#include <asio/ip/address.hpp>
#include <string>

namespace ferrowin::common {

std::string peerAddressText(const asio::ip::address& address);

/// Address and port for status texts and logs: "192.168.1.20:52000", "[fe80::1]:52000".
std::string endpointText(const asio::ip::address& address, unsigned short port);

}  // namespace ferrowin::common
