#include "client/control/tls_exchange.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <optional>

namespace ferrowin::client {

namespace {

using Kind = ExchangeError::Kind;

std::array<uint8_t, 32> certificateDigest(SSL* ssl) {
  std::array<uint8_t, 32> digest{};
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (!cert) return digest;
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest.data(), &length);
  X509_free(cert);
  return digest;
}

}  // namespace

Expected<TlsExchangeResult, ExchangeError> tlsExchange(const std::string& host, uint16_t port,
                                                       const std::string& request,
                                                       double timeoutSeconds) {
  asio::io_context io;
  asio::ssl::context tls(asio::ssl::context::tls_client);
  // Trust rests on pairing, not on a certificate authority: the host's identity is self-signed.
  tls.set_verify_mode(asio::ssl::verify_none);
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, tls);

  std::optional<Expected<TlsExchangeResult, ExchangeError>> outcome;
  // Set when time is up: a resolve cannot be cancelled, and a connect after it would open the
  // socket again, so every step checks this before going on.
  bool timedOut = false;
  auto fail = [&](Kind kind, std::string message) {
    outcome = make_unexpected(ExchangeError{kind, std::move(message)});
  };

  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        std::error_code ec;
        auto token = asio::redirect_error(asio::use_awaitable, ec);
        asio::ip::tcp::resolver resolver(io);
        auto endpoints = co_await resolver.async_resolve(host, std::to_string(port), token);
        if (timedOut) co_return;
        if (ec) co_return fail(Kind::connect, "cannot resolve " + host + ": " + ec.message());
        co_await asio::async_connect(stream.lowest_layer(), endpoints, token);
        if (timedOut) co_return;
        if (ec) {
          co_return fail(Kind::connect, "cannot connect to " + host + " port " +
                                            std::to_string(port) + ": " + ec.message());
        }
        stream.lowest_layer().set_option(asio::ip::tcp::no_delay(true), ec);
        co_await stream.async_handshake(asio::ssl::stream_base::client, token);
        if (ec) co_return fail(Kind::tls, "TLS handshake failed: " + ec.message());
        TlsExchangeResult result;
        result.certificateSha256 = certificateDigest(stream.native_handle());

        co_await asio::async_write(stream, asio::buffer(request), token);
        if (ec) co_return fail(Kind::io, "sending the request failed: " + ec.message());

        std::string received;
        char chunk[16384];
        for (;;) {
          const size_t n = co_await stream.async_read_some(asio::buffer(chunk), token);
          received.append(chunk, n);
          // The host closes without a TLS close_notify at times; the length tells whether the
          // answer is whole.
          const bool closed = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
          if (ec && !closed)
            co_return fail(Kind::io, "reading the response failed: " + ec.message());
          auto parsed = parseHttpResponse(received, closed);
          if (!parsed) co_return fail(Kind::protocol, parsed.error().description());
          if (*parsed) {
            result.response = std::move(**parsed);
            outcome = std::move(result);
            co_return;
          }
        }
      },
      asio::detached);

  io.run_for(std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000)));
  if (!outcome) {
    // Cancel what is pending and let the flow finish before its state goes away.
    timedOut = true;
    std::error_code ignored;
    stream.lowest_layer().close(ignored);
    io.restart();
    io.run();
    outcome = make_unexpected(ExchangeError{
        Kind::timeout, "no answer from " + host + " port " + std::to_string(port) + " in time"});
  }
  return std::move(*outcome);
}

}  // namespace ferrowin::client
