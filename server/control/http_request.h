#pragma once
// The control API's small subset of HTTP/1.1: one request per connection, parsed from whatever
// bytes have arrived so far; one response, written whole, after which the connection closes.
// Pure functions over bytes, so the listener is a thin shell around them.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::control {

struct ControlHTTPRequest {
  std::string method;                          // upper-cased
  std::string path;                            // the raw request target, query included
  std::map<std::string, std::string> headers;  // names lower-cased
  std::vector<uint8_t> body;
  std::string peer;  // the client's address text (see peerAddressText)
};

struct ControlHTTPResponse {
  int status = 200;
  std::vector<uint8_t> body;
  std::string contentType = "application/json";
};

/// Largest body a request may announce; one byte more and the request is never answered.
inline constexpr size_t kMaxBodyBytes = 65536;
/// Largest header block we wait for. A client that sends more is not speaking our API.
inline constexpr size_t kMaxHeaderBytes = 16384;

enum class ControlHTTPParseError {
  headerTooLarge,  // no header end within kMaxHeaderBytes: the connection is closed
};
std::string description(ControlHTTPParseError error);

/// One parse attempt over the bytes received so far. A value holds the request once it is
/// complete (its bytes are removed from `buffer`); nullopt means "no request": either more bytes
/// are needed, or the head can never form a request (not UTF-8, fewer than two request-line
/// tokens, a Content-Length outside 0...65,536), in which case the caller keeps waiting for the
/// peer to close. `peer` is left empty.
[[nodiscard]] Expected<std::optional<ControlHTTPRequest>, ControlHTTPParseError> parseRequest(
    std::vector<uint8_t>& buffer);

/// "OK", "Bad Request", "Unauthorized", "Not Found", "Conflict", else "Error".
std::string_view reasonPhrase(int status);

/// Status line, Content-Type, Content-Length, "Connection: close", blank line, body.
std::vector<uint8_t> serializeResponse(const ControlHTTPResponse& response);

/// The request path with everything from the first "?" removed.
std::string_view routePath(std::string_view target);

/// The first query parameter of `target` named `name` (key compared ignoring letter case), its
/// value percent-decoded. Absent, or a value that does not percent-decode, gives nullopt.
std::optional<std::string> queryParameter(std::string_view target, std::string_view name);

/// Percent-decoding of a query piece ("+" stays "+"); nullopt for a bad escape or invalid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

bool isValidUtf8(std::string_view text);

}  // namespace ferrowin::control
