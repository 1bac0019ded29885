// The client's stream configuration, as the UDP hello and the TCP transport read it. Whatever the
// bytes, a parsed configuration re-encodes to a message that parses to the same configuration.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/wire.h"

using namespace ferrowin::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto config = parseStreamConfigMessage(ByteView(data, size));
  if (!config) return 0;
  if (size >= 5 && streamConfigMessageLength(data[4]) < 16) std::abort();
  auto again = parseStreamConfigMessage(encodeStreamConfigMessage(*config, 4));
  if (!again || !(*again == *config)) std::abort();
  return 0;
}
