#include "server/inputhelper/helper_output.h"

#include <cstdint>
#include <utility>

namespace ferrowin::inputhelper {

Expected<InputHelperPreflightResult, common::JsonError> decodePreflightResult(
    std::string_view output) {
  auto document = common::parseJson(output);
  if (!document) return make_unexpected(document.error());
  common::JsonReader reader(*document);
  InputHelperPreflightResult result;
  result.accessibilityTrusted = reader.required<bool>("accessibilityTrusted");
  result.virtualHIDAvailable = reader.required<bool>("virtualHIDAvailable");
  if (!reader.ok()) return make_unexpected(*reader.error());
  return result;
}

std::string textOrBinary(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<uint8_t>(bytes[i]);
    size_t length = 0;
    uint32_t codePoint = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return "<binary>";
    }
    if (bytes.size() - i < length) return "<binary>";
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return "<binary>";
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (codePoint < smallest || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return "<binary>";
    }
    i += length;
  }
  return std::string(bytes);
}

std::vector<std::string> OutputLineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  for (char byte : bytes) {
    if (byte == '\n') {
      lines.push_back(std::move(pending_));
      pending_.clear();
      continue;
    }
    pending_.push_back(byte);
    if (pending_.size() >= maxLine_) {
      lines.push_back(std::move(pending_));
      pending_.clear();
    }
  }
  return lines;
}

std::optional<std::string> OutputLineSplitter::finish() {
  if (pending_.empty()) return std::nullopt;
  return std::exchange(pending_, {});
}

HelperStderrLine classifyHelperLine(std::string_view line) {
  // "2026-01-02 03:04:05.678 info [com.zavel.ferrowin.inputhelper/main] message"
  static constexpr std::string_view kStampShape = "0000-00-00 00:00:00.000 ";
  const auto fits = [&] {
    if (line.size() < kStampShape.size()) return false;
    for (size_t i = 0; i < kStampShape.size(); ++i) {
      const bool digit = kStampShape[i] == '0';
      const char c = line[i];
      if (digit ? (c < '0' || c > '9') : c != kStampShape[i]) return false;
    }
    return true;
  };
  if (!fits()) return {HelperStderrLine::Level::info, std::string(line)};
  std::string_view rest = line.substr(kStampShape.size());
  const size_t levelEnd = rest.find(" [");
  const size_t nameEnd = rest.find("] ");
  if (levelEnd == std::string_view::npos || nameEnd == std::string_view::npos || nameEnd < levelEnd)
    return {HelperStderrLine::Level::info, std::string(line)};
  static constexpr std::pair<std::string_view, HelperStderrLine::Level> kLevels[] = {
      {"trace", HelperStderrLine::Level::trace}, {"debug", HelperStderrLine::Level::debug},
      {"info", HelperStderrLine::Level::info},   {"warning", HelperStderrLine::Level::warning},
      {"error", HelperStderrLine::Level::error}, {"critical", HelperStderrLine::Level::critical}};
  for (const auto& [name, level] : kLevels)
    if (rest.substr(0, levelEnd) == name) return {level, std::string(rest.substr(nameEnd + 2))};
  return {HelperStderrLine::Level::info, std::string(line)};
}

}  // namespace ferrowin::inputhelper
