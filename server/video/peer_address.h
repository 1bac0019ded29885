#pragma once
// The text form of a client's address, the key of every allowlist: IPv4 dotted decimal, an
// IPv4-mapped IPv6 address as its IPv4 form, any other IPv6 address without its zone suffix.

#include <string>

#include <asio/ip/address.hpp>

namespace ferrowin::video {

std::string peerAddressText(const asio::ip::address& address);

/// Address and port for status texts and logs: "192.168.1.20:52000", "[fe80::1]:52000".
std::string endpointText(const asio::ip::address& address, unsigned short port);

}  // namespace ferrowin::video
