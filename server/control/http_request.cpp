#include "server/control/http_request.h"

#include <algorithm>
#include <charconv>

namespace ferrowin::control {

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

std::string_view trimSpacesAndTabs(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

// The request line: up to three space-separated pieces, empty pieces dropped; the third piece is
// the rest of the line.
std::vector<std::string_view> requestLineTokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    if (tokens.size() == 2) {
      tokens.push_back(line.substr(i));
      break;
    }
    const size_t end = std::min(line.find(' ', i), line.size());
    tokens.push_back(line.substr(i, end - i));
    i = end;
  }
  return tokens;
}

// A decimal integer with an optional sign; anything else (including overflow) reads as 0.
int64_t contentLength(const std::map<std::string, std::string>& headers) {
  auto it = headers.find("content-length");
  if (it == headers.end()) return 0;
  std::string_view text = it->second;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text[0] == '+' || text[0] == '-') return 0;
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  // Out of range for a 64-bit integer is "not a number"; any other negative value is just < 0.
  if (negative) return magnitude > uint64_t(INT64_MAX) + 1 ? 0 : (magnitude == 0 ? 0 : -1);
  return magnitude <= uint64_t(INT64_MAX) ? int64_t(magnitude) : 0;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string description(ControlHTTPParseError error) {
  switch (error) {
    case ControlHTTPParseError::headerTooLarge:
      return "request header block is too large";
  }
  return "unknown error";
}

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    uint32_t minimum;
    uint32_t point;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, minimum = 0x80, point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, minimum = 0x800, point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, minimum = 0x10000, point = lead & 0x07;
    } else {
      return false;
    }
    if (size - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      point = point << 6 | (bytes[i + k] & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

Expected<std::optional<ControlHTTPRequest>, ControlHTTPParseError> parseRequest(
    std::vector<uint8_t>& buffer) {
  const std::string_view received(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  const size_t headerEnd = received.find(kHeaderEnd);
  if (headerEnd == std::string_view::npos) {
    // The terminator may still be arriving: allow its first three bytes past the cap.
    if (received.size() > kMaxHeaderBytes + kHeaderEnd.size() - 1)
      return make_unexpected(ControlHTTPParseError::headerTooLarge);
    return std::nullopt;
  }
  if (headerEnd > kMaxHeaderBytes) return make_unexpected(ControlHTTPParseError::headerTooLarge);

  const std::string_view head = received.substr(0, headerEnd);
  if (!isValidUtf8(head)) return std::nullopt;
  const auto lines = split(head, "\r\n");
  const auto tokens = requestLineTokens(lines[0]);
  if (tokens.size() < 2) return std::nullopt;

  ControlHTTPRequest request;
  request.method = asciiUpper(tokens[0]);
  request.path = std::string(tokens[1]);
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) continue;
    request.headers[asciiLower(trimSpacesAndTabs(lines[i].substr(0, colon)))] =
        std::string(trimSpacesAndTabs(lines[i].substr(colon + 1)));
  }

  const int64_t length = contentLength(request.headers);
  if (length < 0 || length > int64_t(kMaxBodyBytes)) return std::nullopt;
  const size_t bodyStart = headerEnd + kHeaderEnd.size();
  const size_t end = bodyStart + size_t(length);
  if (buffer.size() < end) return std::nullopt;
  request.body.assign(buffer.begin() + bodyStart, buffer.begin() + end);
  buffer.erase(buffer.begin(), buffer.begin() + end);
  return request;
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 409:
      return "Conflict";
    default:
      return "Error";
  }
}

std::vector<uint8_t> serializeResponse(const ControlHTTPResponse& response) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     std::string(reasonPhrase(response.status)) + "\r\n";
  head += "Content-Type: " + response.contentType + "\r\n";
  head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  head += "Connection: close\r\n\r\n";
  std::vector<uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), response.body.begin(), response.body.end());
  return out;
}

std::string_view routePath(std::string_view target) { return target.substr(0, target.find('?')); }

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  if (!isValidUtf8(out)) return std::nullopt;
  return out;
}

std::optional<std::string> queryParameter(std::string_view target, std::string_view name) {
  const size_t question = target.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  const std::string wanted = asciiLower(name);
  for (std::string_view piece : split(target.substr(question + 1), "&")) {
    if (piece.empty()) continue;
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    const auto key = percentDecode(piece.substr(0, equals));
    if (!key || asciiLower(*key) != wanted) continue;
    // The first matching piece decides, even when its value does not decode.
    return percentDecode(piece.substr(equals + 1));
  }
  return std::nullopt;
}

}  // namespace ferrowin::control
