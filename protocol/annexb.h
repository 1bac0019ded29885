#pragma once
// HEVC bitstream framing. Encoders write Annex B (NAL units behind 00 00 01 start codes); the
// client expects what a hardware session delivers: each access unit as NAL units behind 4-byte
// big-endian lengths, with the VPS, SPS and PPS handed over separately before each keyframe.
// Pure functions over bytes.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::capture {

using ByteSpan = std::span<const uint8_t>;

enum class HevcNalType : uint8_t {
  vps = 32,
  sps = 33,
  pps = 34,
  accessUnitDelimiter = 35,
};

/// The 6-bit nal_unit_type of a NAL unit (its first header byte); 0xFF for an empty unit.
uint8_t hevcNalType(ByteSpan nal);

/// The NAL units of an Annex B stream, without start codes and without the zero bytes that may
/// trail a unit. Bytes before the first start code are ignored.
std::vector<ByteSpan> splitAnnexB(ByteSpan stream);

struct LengthPrefixedAccessUnit {
  /// Every NAL unit except parameter sets and access unit delimiters, each behind its length as a
  /// 4-byte big-endian integer.
  std::vector<uint8_t> data;
  /// The VPS, SPS and PPS found in the unit, in that order (several of one kind keep their order).
  std::vector<std::vector<uint8_t>> parameterSets;
};

LengthPrefixedAccessUnit toLengthPrefixed(ByteSpan annexB);

struct FramingError {
  enum class Code { truncatedLength, lengthPastEnd, emptyUnit };
  Code code;
  size_t offset;  // where the bad length starts
  std::string description() const;
};

/// The inverse, for decoders that want Annex B: parameter sets (if any) then the units of a
/// length-prefixed access unit, each behind 00 00 00 01. Bytes off the network: a length that runs
/// past the end, a trailing partial length or a zero length is an error.
[[nodiscard]] Expected<std::vector<uint8_t>, FramingError> toAnnexB(
    const std::vector<std::vector<uint8_t>>& parameterSets, ByteSpan lengthPrefixed);

}  // namespace ferrowin::capture
