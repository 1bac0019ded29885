// Audio messages off the network into the client: a run of messages, each a kind byte (bit 0 set:
// configuration, else a packet; the next bits move the packet's pts on by one to three steps, so
// gaps happen), a 16-bit little-endian length and that many payload bytes, goes through the
// decoder and the report as ferrowin-client handles them. Nothing may crash, and one packet never
// decodes to more than the longest Opus packet holds (120 ms).

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "client/audio/opus_stream_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ferrowin::client::OpusStreamDecoder decoder;
  ferrowin::client::AudioStats stats;
  uint64_t pts = 0;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t kind = data[at];
    const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
    const ferrowin::video::ByteView payload(data + at + 3, length);
    at += 3 + length;
    pts += 20000 * (1 + (kind >> 1) % 3);
    if (kind & 1) {
      if (!decoder.configure(payload)) stats.recordError();
      continue;
    }
    auto samples = decoder.decode(payload);
    if (!samples) {
      stats.recordError();
      continue;
    }
    if (samples->size() > static_cast<size_t>(5760 * decoder.channels())) std::abort();
    stats.recordPacket(pts, 20.0, *samples);
  }
  (void)stats.takeWindow();
  (void)stats.total();
  return 0;
}
