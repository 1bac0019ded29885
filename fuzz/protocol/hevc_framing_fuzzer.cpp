// Received video frames are length-prefixed NAL units from the network; a decoder turns them back
// into Annex B. Neither direction may read out of bounds, and a well-formed frame must survive the
// round trip unchanged.
#include <cstdint>
#include <vector>

#include "protocol/annexb.h"

namespace {

// True when every unit is one the round trip keeps as it is: no parameter set or delimiter (they
// are split out), no zero byte at the end and no 00 00 inside (that could read as a start code).
bool roundTrips(const uint8_t* data, size_t size) {
  for (size_t offset = 0; offset < size;) {
    const size_t length = size_t{data[offset]} << 24 | size_t{data[offset + 1]} << 16 |
                          size_t{data[offset + 2]} << 8 | data[offset + 3];
    const uint8_t* unit = data + offset + 4;
    const uint8_t type = (unit[0] >> 1) & 0x3F;
    if ((type >= 32 && type <= 35) || unit[length - 1] == 0) return false;
    for (size_t i = 1; i < length; ++i) {
      if (unit[i] == 0 && unit[i - 1] == 0) return false;
    }
    offset += 4 + length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferrowin::capture;
  const ByteSpan bytes(data, size);
  if (auto annexB = toAnnexB({}, bytes); annexB && roundTrips(data, size)) {
    if (toLengthPrefixed(*annexB).data != std::vector<uint8_t>(data, data + size)) __builtin_trap();
  }
  (void)toLengthPrefixed(bytes);
  return 0;
}
