#include "client/control/http_exchange.h"

#include <gtest/gtest.h>

namespace ferrowin::client {
namespace {

TEST(HttpRequest, CarriesLengthHostAndClose) {
  EXPECT_EQ(buildHttpRequest("POST", "/v1/auth/hello", "10.0.0.2:52345", "{}"),
            "POST /v1/auth/hello HTTP/1.1\r\nHost: 10.0.0.2:52345\r\n"
            "Content-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
  EXPECT_EQ(
      buildHttpRequest("GET", "/v1/status", "h:1", ""),
      "GET /v1/status HTTP/1.1\r\nHost: h:1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(HttpResponse, WaitsForTheWholeBodyThenParses) {
  const std::string full =
      "HTTP/1.1 503 Error\r\nContent-Type: application/json\r\nContent-Length: 29\r\n"
      "Connection: close\r\n\r\n{\"error\":\"video unavailable\"}..";
  for (size_t cut = 0; cut < full.size() - 2; ++cut) {
    auto partial = parseHttpResponse(std::string_view(full).substr(0, cut), false);
    ASSERT_TRUE(partial) << cut;
    EXPECT_FALSE(*partial) << cut;
    EXPECT_FALSE(parseHttpResponse(std::string_view(full).substr(0, cut), true)) << cut;
  }
  auto response = parseHttpResponse(full, false);  // bytes past the body are ignored
  ASSERT_TRUE(response && *response);
  EXPECT_EQ((*response)->status, 503);
  EXPECT_EQ((*response)->reason, "Error");
  EXPECT_EQ((*response)->headers.at("content-type"), "application/json");
  EXPECT_EQ((*response)->body, "{\"error\":\"video unavailable\"}");
}

TEST(HttpResponse, WithoutLengthTheBodyEndsWithTheConnection) {
  const std::string response = "HTTP/1.1 200 OK\r\nX-A:  b \r\n\r\nabc";
  EXPECT_FALSE(*parseHttpResponse(response, false));
  auto closed = parseHttpResponse(response, true);
  ASSERT_TRUE(closed && *closed);
  EXPECT_EQ((*closed)->body, "abc");
  EXPECT_EQ((*closed)->headers.at("x-a"), "b");
}

TEST(HttpResponse, RefusesWhatIsNotAnHttpAnswer) {
  for (const char* bad : {
           "HTTP/1.1 20 OK\r\n\r\n",
           "HTTP/1.1 2000 OK\r\n\r\n",
           "SSH-2.0-OpenSSH\r\n\r\n",
           "HTTP/1.1 200 OK\r\nno colon\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n",
       }) {
    EXPECT_FALSE(parseHttpResponse(bad, false)) << bad;
  }
  EXPECT_FALSE(parseHttpResponse(std::string(kMaxResponseHeaderBytes + 1, 'a'), false));
  EXPECT_TRUE(parseHttpResponse("HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", false));
}

}  // namespace
}  // namespace ferrowin::client
