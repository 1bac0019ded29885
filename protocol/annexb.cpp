#include "protocol/annexb.h"

#include <algorithm>

namespace ferrowin::capture {

namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
constexpr size_t kNone = static_cast<size_t>(-1);

// Index of the byte after the next 00 00 01 at or after `from`, or npos.
size_t nextUnitStart(ByteSpan stream, size_t from) {
  for (size_t i = from; i + 3 <= stream.size(); ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // no start code can begin at i, i+1 or i+2
    } else if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      return i + 3;
    }
  }
  return kNone;
}

bool isParameterSet(uint8_t type) {
  return type == static_cast<uint8_t>(HevcNalType::vps) ||
         type == static_cast<uint8_t>(HevcNalType::sps) ||
         type == static_cast<uint8_t>(HevcNalType::pps);
}

}  // namespace

uint8_t hevcNalType(ByteSpan nal) { return nal.empty() ? 0xFF : (nal[0] >> 1) & 0x3F; }

std::vector<ByteSpan> splitAnnexB(ByteSpan stream) {
  std::vector<ByteSpan> units;
  size_t start = nextUnitStart(stream, 0);
  while (start != kNone) {
    const size_t next = nextUnitStart(stream, start);
    // The unit ends where the next start code begins (its 00 00 01), minus any zero padding.
    size_t end = next == kNone ? stream.size() : next - 3;
    while (end > start && stream[end - 1] == 0) --end;
    if (end > start) units.push_back(stream.subspan(start, end - start));
    start = next;
  }
  return units;
}

LengthPrefixedAccessUnit toLengthPrefixed(ByteSpan annexB) {
  LengthPrefixedAccessUnit out;
  out.data.reserve(annexB.size() + 16);
  std::vector<ByteSpan> sets;
  for (ByteSpan unit : splitAnnexB(annexB)) {
    const uint8_t type = hevcNalType(unit);
    if (isParameterSet(type)) {
      sets.push_back(unit);
      continue;
    }
    if (type == static_cast<uint8_t>(HevcNalType::accessUnitDelimiter)) continue;
    const auto size = static_cast<uint32_t>(unit.size());
    const uint8_t length[] = {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                              static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
    out.data.insert(out.data.end(), std::begin(length), std::end(length));
    out.data.insert(out.data.end(), unit.begin(), unit.end());
  }
  std::stable_sort(sets.begin(), sets.end(),
                   [](ByteSpan a, ByteSpan b) { return hevcNalType(a) < hevcNalType(b); });
  for (ByteSpan set : sets) out.parameterSets.emplace_back(set.begin(), set.end());
  return out;
}

std::string FramingError::description() const {
  switch (code) {
    case Code::truncatedLength:
      return "truncated NAL unit length at offset " + std::to_string(offset);
    case Code::lengthPastEnd:
      return "NAL unit length past the end of the frame at offset " + std::to_string(offset);
    case Code::emptyUnit:
      return "empty NAL unit at offset " + std::to_string(offset);
  }
  return "malformed frame";
}

Expected<std::vector<uint8_t>, FramingError> toAnnexB(
    const std::vector<std::vector<uint8_t>>& parameterSets, ByteSpan lengthPrefixed) {
  std::vector<uint8_t> out;
  out.reserve(lengthPrefixed.size() + 64);
  for (const auto& set : parameterSets) {
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), set.begin(), set.end());
  }
  size_t offset = 0;
  while (offset < lengthPrefixed.size()) {
    if (lengthPrefixed.size() - offset < 4) {
      return unexpected(FramingError{FramingError::Code::truncatedLength, offset});
    }
    const uint32_t length = uint32_t{lengthPrefixed[offset]} << 24 |
                            uint32_t{lengthPrefixed[offset + 1]} << 16 |
                            uint32_t{lengthPrefixed[offset + 2]} << 8 | lengthPrefixed[offset + 3];
    if (length == 0) return unexpected(FramingError{FramingError::Code::emptyUnit, offset});
    if (length > lengthPrefixed.size() - offset - 4) {
      return unexpected(FramingError{FramingError::Code::lengthPastEnd, offset});
    }
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    const auto unit = lengthPrefixed.subspan(offset + 4, length);
    out.insert(out.end(), unit.begin(), unit.end());
    offset += 4 + size_t{length};
  }
  return out;
}

}  // namespace ferrowin::capture
