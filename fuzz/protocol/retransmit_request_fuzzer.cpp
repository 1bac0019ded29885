// Retransmission request payloads: the whole list or nothing, never a read past the end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/wire.h"

using namespace ferrowin::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto sequences = parseRetransmitRequest(ByteView(data, size));
  if (!sequences) return 0;
  if (2 + 4 * sequences->size() > size) std::abort();
  return 0;
}
