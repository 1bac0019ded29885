#include "client/control/http_exchange.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace ferrowin::client {

namespace {

unexpected<HttpParseError> fail(std::string message) {
  return make_unexpected(HttpParseError{std::move(message)});
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

template <class T>
bool parseDecimal(std::string_view text, T& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string buildHttpRequest(std::string_view method, std::string_view path, std::string_view host,
                             std::string_view body) {
  std::string request = fmt::format("{} {} HTTP/1.1\r\nHost: {}\r\n", method, path, host);
  if (!body.empty()) request += "Content-Type: application/json\r\n";
  request += fmt::format("Content-Length: {}\r\nConnection: close\r\n\r\n", body.size());
  request += body;
  return request;
}

Expected<std::optional<HttpResponse>, HttpParseError> parseHttpResponse(std::string_view received,
                                                                        bool peerClosed) {
  const size_t headerEnd = received.find("\r\n\r\n");
  if (headerEnd == std::string_view::npos) {
    if (received.size() > kMaxResponseHeaderBytes) return fail("header block too large");
    if (peerClosed) return fail("connection closed before the response header");
    return std::optional<HttpResponse>{};
  }
  if (headerEnd > kMaxResponseHeaderBytes) return fail("header block too large");

  std::string_view head = received.substr(0, headerEnd);
  HttpResponse response;
  size_t lineEnd = head.find("\r\n");
  const std::string_view statusLine = head.substr(0, lineEnd);
  // "HTTP/1.1 200 OK": version, a three-digit status, the reason (may be empty).
  if (!statusLine.starts_with("HTTP/1.") || statusLine.size() < 12 || statusLine[8] != ' ' ||
      !parseDecimal(statusLine.substr(9, 3), response.status) ||
      (statusLine.size() > 12 && statusLine[12] != ' '))
    return fail("bad status line");
  response.reason = std::string(statusLine.size() > 13 ? statusLine.substr(13) : "");

  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return fail("bad header line");
    response.headers[lower(trim(line.substr(0, colon)))] =
        std::string(trim(line.substr(colon + 1)));
  }

  const std::string_view rest = received.substr(headerEnd + 4);
  auto length = response.headers.find("content-length");
  if (length == response.headers.end()) {
    // Without a length the body runs to the end of the connection.
    if (rest.size() > kMaxResponseBodyBytes) return fail("body too large");
    if (!peerClosed) return std::optional<HttpResponse>{};
    response.body = std::string(rest);
    return response;
  }
  size_t bodyLength = 0;
  if (!parseDecimal(length->second, bodyLength)) return fail("bad Content-Length");
  if (bodyLength > kMaxResponseBodyBytes) return fail("body too large");
  if (rest.size() < bodyLength) {
    if (peerClosed) return fail("connection closed before the end of the body");
    return std::optional<HttpResponse>{};
  }
  response.body = std::string(rest.substr(0, bodyLength));
  return response;
}

}  // namespace ferrowin::client
