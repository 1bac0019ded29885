#include "server/control/http_request.h"

#include <gtest/gtest.h>

namespace ferrowin::control {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::optional<ControlHTTPRequest> parse(std::string_view text) {
  auto buffer = bytes(text);
  auto parsed = parseRequest(buffer);
  EXPECT_TRUE(parsed.has_value());
  return parsed ? *parsed : std::nullopt;
}

TEST(ControlHTTPParse, RequestLineHeadersAndBody) {
  auto request = parse(
      "post /v1/auth/hello?x=1 HTTP/1.1\r\nHost: a\r\n  Content-Type :\t application/json \r\n"
      "no colon line\r\nX-Twice: 1\r\nx-twice: 2\r\nContent-Length: 2\r\n\r\n{}");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "POST");
  EXPECT_EQ(request->path, "/v1/auth/hello?x=1");
  EXPECT_EQ(request->headers.at("content-type"), "application/json");
  EXPECT_EQ(request->headers.at("x-twice"), "2");
  EXPECT_EQ(request->headers.size(), 4u);
  EXPECT_EQ(request->body, bytes("{}"));
  // A head that is not UTF-8 never forms a request.
  EXPECT_FALSE(parse("GET /\xc0\xaf HTTP/1.1\r\n\r\n"));
}

TEST(ControlHTTPParse, ContentLengthRules) {
  struct Case {
    const char* value;
    size_t sent;
    std::optional<size_t> body;  // nullopt: no request (yet)
  };
  const Case cases[] = {
      {"+5", 5, 5},
      {"+5", 4, std::nullopt},
      {"65536", 65536, 65536},
      {"65537", 65537, std::nullopt},  // the largest body
      {"-1", 0, std::nullopt},
      {"-9223372036854775808", 0, std::nullopt},
      {"-0", 0, 0},
      // Not a (64-bit) number reads as 0: the request is complete without its body.
      {"abc", 3, 0},
      {"", 3, 0},
      {"5x", 3, 0},
      {"--5", 3, 0},
      {"99999999999999999999999", 3, 0},
      {"-18446744073709551615", 0, 0},
  };
  for (const auto& c : cases) {
    std::string text = "POST /p HTTP/1.1\r\nContent-Length: " + std::string(c.value) + "\r\n\r\n";
    text.append(c.sent, 'a');
    auto buffer = bytes(text);
    auto parsed = parseRequest(buffer);
    ASSERT_TRUE(parsed.has_value()) << c.value;
    EXPECT_EQ(parsed->has_value(), c.body.has_value()) << c.value;
    if (*parsed && c.body) {
      EXPECT_EQ((*parsed)->body.size(), *c.body) << c.value;
    }
  }
  auto missing = parse("POST /p HTTP/1.1\r\n\r\nbody");
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->body.empty());
}

TEST(ControlHTTPParse, HeaderBlockIsCapped) {
  const auto outcome = [](const std::string& text) {
    auto buffer = bytes(text);
    auto parsed = parseRequest(buffer);
    return std::string(!parsed ? "refused" : *parsed ? "request" : "waiting");
  };
  const std::string over = "GET / HTTP/1.1\r\nX: " + std::string(kMaxHeaderBytes, 'a');
  EXPECT_EQ(outcome(over), "refused");
  EXPECT_EQ(outcome(over + "\r\n\r\n"), "refused");
  const std::string justFits = over.substr(0, kMaxHeaderBytes);
  EXPECT_EQ(outcome(justFits + "\r\n\r"), "waiting");
  EXPECT_EQ(outcome(justFits + "\r\n\r\n"), "request");
}

TEST(ControlHTTPQuery, Parameters) {
  EXPECT_EQ(routePath("/v1/status?x=1?y"), "/v1/status");
  EXPECT_EQ(queryParameter("/p?ID=a%20b&id=second", "id"), "a b");
  EXPECT_EQ(queryParameter("/p?&&flag&%69d=x", "id"), "x");  // key is percent-decoded
  EXPECT_EQ(queryParameter("/p?id=a+b=c", "id"), "a+b=c");   // "+" stays, split at first "="
  EXPECT_EQ(queryParameter("/p?id=", "id"), "");
  EXPECT_FALSE(queryParameter("/p?id=%zz&id=ok", "id"));  // first match decides
  EXPECT_FALSE(queryParameter("/p?id=%ff", "id"));        // not UTF-8
  EXPECT_FALSE(queryParameter("/p?id=%4", "id"));
  EXPECT_FALSE(queryParameter("/p", "id"));
  EXPECT_FALSE(queryParameter("/p?idx=1", "id"));
}

}  // namespace
}  // namespace ferrowin::control
