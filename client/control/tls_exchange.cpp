#include "client/control/tls_exchange.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
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

// The steps of one exchange as plain completion handlers (no coroutines: clang 14 cannot build
// them with the sanitizers our fuzz build uses). Everything runs on the caller's io_context.
class Exchange {
 public:
  Exchange(asio::io_context& io, const std::string& host, uint16_t port, const std::string& request)
      : host_(host),
        port_(port),
        request_(request),
        tls_(asio::ssl::context::tls_client),
        resolver_(io),
        stream_(io, tls_) {
    // Trust rests on pairing, not on a certificate authority: the host's identity is self-signed.
    stream_.set_verify_mode(asio::ssl::verify_none);
  }

  void start() {
    resolver_.async_resolve(host_, std::to_string(port_), [this](auto ec, auto endpoints) {
      if (ec) return fail(Kind::connect, "cannot resolve " + host_ + ": " + ec.message());
      if (cancelled_) return;
      asio::async_connect(stream_.lowest_layer(), endpoints, [this](auto ec2, auto) {
        if (ec2) {
          return fail(Kind::connect, "cannot connect to " + host_ + " port " +
                                         std::to_string(port_) + ": " + ec2.message());
        }
        if (cancelled_) return;
        std::error_code ignored;
        stream_.lowest_layer().set_option(asio::ip::tcp::no_delay(true), ignored);
        stream_.async_handshake(asio::ssl::stream_base::client, [this](auto ec3) {
          if (ec3) return fail(Kind::tls, "TLS handshake failed: " + ec3.message());
          result_.certificateSha256 = certificateDigest(stream_.native_handle());
          asio::async_write(stream_, asio::buffer(request_), [this](auto ec4, size_t) {
            if (ec4) return fail(Kind::io, "sending the request failed: " + ec4.message());
            read();
          });
        });
      });
    });
  }

  // A resolve cannot be cancelled, and a connect after it would open the socket again, so the
  // steps check this before going on.
  void cancel() {
    cancelled_ = true;
    resolver_.cancel();
    std::error_code ignored;
    stream_.lowest_layer().close(ignored);
  }

  std::optional<Expected<TlsExchangeResult, ExchangeError>> outcome;

 private:
  void read() {
    stream_.async_read_some(asio::buffer(chunk_), [this](auto ec, size_t n) {
      received_.append(chunk_, n);
      // The host closes without a TLS close_notify at times; the length tells whether the
      // answer is whole.
      const bool closed = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
      if (ec && !closed) return fail(Kind::io, "reading the response failed: " + ec.message());
      auto parsed = parseHttpResponse(received_, closed);
      if (!parsed) return fail(Kind::protocol, parsed.error().description());
      if (!*parsed) return read();
      result_.response = std::move(**parsed);
      outcome = std::move(result_);
    });
  }

  void fail(Kind kind, std::string message) {
    outcome = make_unexpected(ExchangeError{kind, std::move(message)});
  }

  std::string host_;
  uint16_t port_;
  const std::string& request_;
  asio::ssl::context tls_;
  asio::ip::tcp::resolver resolver_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  bool cancelled_ = false;
  char chunk_[16384];
  std::string received_;
  TlsExchangeResult result_;
};

}  // namespace

Expected<TlsExchangeResult, ExchangeError> tlsExchange(const std::string& host, uint16_t port,
                                                       const std::string& request,
                                                       double timeoutSeconds) {
  asio::io_context io;
  Exchange exchange(io, host, port, request);
  exchange.start();
  io.run_for(std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000)));
  if (!exchange.outcome) {
    // Cancel what is pending and let the handlers finish before the exchange goes away.
    exchange.cancel();
    io.restart();
    io.run();
    return make_unexpected(ExchangeError{
        Kind::timeout, "no answer from " + host + " port " + std::to_string(port) + " in time"});
  }
  return std::move(*exchange.outcome);
}

}  // namespace ferrowin::client
