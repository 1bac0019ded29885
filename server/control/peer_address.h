#pragma once
// The text form of a client's address, the key of every allowlist: dotted decimal for IPv4 (and
// for IPv4-mapped IPv6), otherwise the IPv6 text without its "%zone" suffix.

#include <asio/ip/address.hpp>
#include <string>

namespace ferrowin::control {

std::string peerAddressText(const asio::ip::address& address);

}  // namespace ferrowin::control
