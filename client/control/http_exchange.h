#pragma once
// The client's side of the control API's HTTP/1.1 subset, without I/O: request bytes out,
// response bytes in. The host answers one request per connection with Content-Length and
// "Connection: close".

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "common/util/expected.h"

namespace ferrowin::client {

struct HttpResponse {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
};

struct HttpParseError {
  std::string message;
  std::string description() const { return "bad response from host: " + message; }
};

/// Limits for what the host may send: far above any control answer (icons included), low enough
/// that a broken or hostile peer cannot make the client hold unbounded data.
inline constexpr size_t kMaxResponseHeaderBytes = 16 * 1024;
inline constexpr size_t kMaxResponseBodyBytes = 16 * 1024 * 1024;

/// "METHOD path HTTP/1.1" with Host, Content-Type (when there is a body), Content-Length and
/// "Connection: close".
std::string buildHttpRequest(std::string_view method, std::string_view path, std::string_view host,
                             std::string_view body);

/// A complete response from the bytes received so far; nullopt while more are needed. With
/// `peerClosed`, missing bytes are an error instead.
[[nodiscard]] Expected<std::optional<HttpResponse>, HttpParseError> parseHttpResponse(
    std::string_view received, bool peerClosed);

}  // namespace ferrowin::client
