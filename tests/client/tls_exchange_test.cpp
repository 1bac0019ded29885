#include "client/control/tls_exchange.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "client/control/http_exchange.h"

namespace ferrowin::client {
namespace {

// A loopback listener that never accepts: TCP connects, TLS never answers.
struct SilentListener {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  uint16_t port = 0;
  SilentListener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd); }
};

TEST(TlsExchange, GivesUpOnAHostThatNeverAnswers) {
  SilentListener listener;
  const auto start = std::chrono::steady_clock::now();
  auto result = tlsExchange("127.0.0.1", listener.port, "GET / HTTP/1.1\r\n\r\n", 0.3);
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
