// The client's control side: the host pins and the state directory it keeps, and its HTTPS
// exchange with a host.
#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <chrono>

#include "client/control/client_state.h"
#include "client/control/http_exchange.h"
#include "client/control/tls_exchange.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

TEST(HostPins, PinOnFirstUseAndWarnWhenTheCertificateChanges) {
  ferrowin::testing::TempDir dir;
  ferrowin::testing::LogCapture log;
  const HostAddress host{"192.168.1.20", 52345};
  std::array<uint8_t, 32> first{}, second{};
  first.fill(0x11);
  second.fill(0x22);
  EXPECT_EQ(checkHostPin(dir.path(), host, first, false), PinCheck::firstUse);
  EXPECT_EQ(checkHostPin(dir.path(), host, first, false), PinCheck::matches);
  EXPECT_EQ(checkHostPin(dir.path(), HostAddress{"192.168.1.20", 1}, second, false),
            PinCheck::firstUse);  // another port is another host

  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::changed);
  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::changed);  // pin kept
  ASSERT_FALSE(log.messages().empty());
  EXPECT_NE(log.messages().back().find("The certificate of 192.168.1.20:52345 changed"),
            std::string::npos);
  EXPECT_EQ(checkHostPin(dir.path(), host, second, true), PinCheck::changed);  // pairing re-pins
  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::matches);
}

TEST(StateDirectory, FollowsXdgDataHome) {
  ::setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(clientStateDirectory(std::nullopt), "/data/ferrowin-client");
  ::unsetenv("XDG_DATA_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(clientStateDirectory(std::nullopt), "/home/u/.local/share/ferrowin-client");
  ::setenv("HOME", home.c_str(), 1);
}

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
