#include "server/control/der_writer.h"

namespace ferrowin::control::der {

Bytes element(uint8_t tagByte, std::span<const uint8_t> contents) {
  Bytes out{tagByte};
  const size_t length = contents.size();
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
  } else {
    Bytes lengthBytes;
    for (size_t rest = length; rest > 0; rest >>= 8)
      lengthBytes.insert(lengthBytes.begin(), static_cast<uint8_t>(rest & 0xFF));
    out.push_back(static_cast<uint8_t>(0x80 | lengthBytes.size()));
    out.insert(out.end(), lengthBytes.begin(), lengthBytes.end());
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes constructed(uint8_t tagByte, std::initializer_list<Bytes> items) {
  Bytes contents;
  for (const auto& item : items) contents.insert(contents.end(), item.begin(), item.end());
  return element(tagByte, contents);
}

Bytes positiveInteger(std::span<const uint8_t> bigEndian) {
  size_t first = 0;
  while (first < bigEndian.size() && bigEndian[first] == 0) ++first;
  Bytes contents(bigEndian.begin() + static_cast<ptrdiff_t>(first), bigEndian.end());
  if (contents.empty() || contents.front() & 0x80) contents.insert(contents.begin(), 0x00);
  return element(tag::integer, contents);
}

Bytes smallInteger(uint8_t value) { return positiveInteger(Bytes{value}); }

Bytes objectIdentifier(std::initializer_list<uint32_t> arcs) {
  Bytes contents;
  auto it = arcs.begin();
  const uint32_t first = *it++;
  const uint32_t second = *it++;
  std::vector<uint32_t> values{first * 40 + second};
  values.insert(values.end(), it, arcs.end());
  for (uint32_t value : values) {
    // Base 128, most significant group first, continuation bit on all but the last.
    Bytes groups{static_cast<uint8_t>(value & 0x7F)};
    for (value >>= 7; value > 0; value >>= 7)
      groups.insert(groups.begin(), static_cast<uint8_t>(0x80 | (value & 0x7F)));
    contents.insert(contents.end(), groups.begin(), groups.end());
  }
  return element(tag::objectIdentifier, contents);
}

Bytes utf8String(std::string_view text) {
  return element(tag::utf8String, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Bytes generalizedTime(std::string_view text) {
  return element(tag::generalizedTime,
                 {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

Bytes bitString(std::span<const uint8_t> bytes) {
  Bytes contents{0x00};
  contents.insert(contents.end(), bytes.begin(), bytes.end());
  return element(tag::bitString, contents);
}

}  // namespace ferrowin::control::der
