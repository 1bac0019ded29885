#pragma once
// One request over one TLS connection, the way the control API works: connect, handshake, send,
// read the answer until it is complete. The host's certificate is self-signed, so it is not
// validated here; its SHA-256 is returned for pinning.

#include <array>
#include <cstdint>
#include <string>

#include "client/control/http_exchange.h"
#include "common/util/expected.h"

namespace ferrowin::client {

struct ExchangeError {
  enum class Kind { connect, tls, io, timeout, protocol };
  Kind kind = Kind::io;
  std::string message;
  std::string description() const { return message; }
};

struct TlsExchangeResult {
  HttpResponse response;
  std::array<uint8_t, 32> certificateSha256{};
};

/// Blocks the calling thread for at most `timeoutSeconds`.
[[nodiscard]] Expected<TlsExchangeResult, ExchangeError> tlsExchange(const std::string& host,
                                                                     uint16_t port,
                                                                     const std::string& request,
                                                                     double timeoutSeconds);

}  // namespace ferrowin::client
