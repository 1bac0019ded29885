// Frames off the network into the client's decoder: the first byte picks parameter sets or a
// frame (and its keyframe flag); neither may crash the decoder.

#include <cstddef>
#include <cstdint>

#include "client/video/hevc_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static ferrowin::client::HevcStreamDecoder* decoder = [] {
    auto* created = new ferrowin::client::HevcStreamDecoder();
    (void)created->open();
    return created;
  }();
  const ferrowin::video::ByteView payload(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      (void)decoder->setParameterSets(payload);
      break;
    default:
      (void)decoder->decode(payload, data[0] % 3 == 1, size);
      break;
  }
  return 0;
}
