#include "client/control/tls_exchange.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <chrono>

#include "client/control/http_exchange.h"

namespace ferrowin::client {
namespace {

TEST(TlsExchange, GivesUpOnAHostThatNeverAnswers) {
  // A loopback listener that never accepts: TCP connects, TLS never answers.
  asio::io_context io;
  asio::ip::tcp::acceptor listener(io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto start = std::chrono::steady_clock::now();
  auto result =
      tlsExchange("127.0.0.1", listener.local_endpoint().port(), "GET / HTTP/1.1\r\n\r\n", 0.3);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, ExchangeError::Kind::timeout);
  EXPECT_LT(elapsed, 5.0);
}

TEST(HttpRequest, CarriesLengthHostAndClose) {
  EXPECT_EQ(buildHttpRequest("POST", "/v1/auth/hello", "10.0.0.2:52345", "{}"),
            "POST /v1/auth/hello HTTP/1.1\r\nHost: 10.0.0.2:52345\r\n"
            "Content-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
  EXPECT_EQ(
      buildHttpRequest("GET", "/v1/status", "h:1", ""),
      "GET /v1/status HTTP/1.1\r\nHost: h:1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace ferrowin::client
