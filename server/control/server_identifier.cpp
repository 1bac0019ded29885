#include "server/control/server_identifier.h"

#include <cctype>
#include <cstdio>

#include "common/util/files.h"
#include "common/util/log.h"
#include "common/util/random.h"

namespace ferrowin::control {

std::string randomUUIDString() {
  auto bytes = common::secureRandomBytes(16);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

ServerIdentifier::ServerIdentifier(std::filesystem::path directory)
    : file_(std::move(directory) / "server-id") {}

std::string ServerIdentifier::value() {
  std::call_once(once_, [this] {
    if (auto stored = common::readFile(file_)) {
      std::string text = *stored;
      const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
      while (!text.empty() && isSpace(text.back())) text.pop_back();
      size_t first = 0;
      while (first < text.size() && isSpace(text[first])) ++first;
      text.erase(0, first);
      if (!text.empty()) {
        value_ = text;
        return;
      }
    }
    value_ = randomUUIDString();
    if (auto written = common::writeFileAtomically(file_, value_, 0600); !written)
      common::serverLog("auth")->error("Server id could not be saved: {}",
                                       written.error().description());
  });
  return value_;
}

}  // namespace ferrowin::control
