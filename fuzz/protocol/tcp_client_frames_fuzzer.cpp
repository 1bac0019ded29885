// The byte stream a TCP video client sends: the configuration message (its length decided by the
// version byte), then frames of which the host checks the magic and length. Reads the input the way
// the transport reads its socket.

#include <cstddef>
#include <cstdint>

#include "protocol/wire.h"

using namespace ferrowin::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView bytes(data, size);
  if (size < 16) return 0;
  const size_t configLength = streamConfigMessageLength(data[4]);
  if (size < configLength) return 0;
  if (!parseStreamConfigMessage(bytes.first(configLength))) return 0;
  size_t at = configLength;
  while (size - at >= kMessageHeaderSize) {
    auto length = parseClientFrameHeader(bytes.subspan(at, kMessageHeaderSize));
    if (!length) break;
    at += kMessageHeaderSize;
    if (size - at < *length) break;
    at += *length;
  }
  return 0;
}
