// Input datagrams from the network: the classifier must accept only exact layouts, and a text
// packet it accepts must be valid UTF-8 of the announced length.
#include <cstdint>
#include <span>

#include "inputhelper/packets.h"

using namespace ferrowin::inputhelper;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto packet = classifyDatagram(std::span<const uint8_t>(data, size));
  if (!packet) return 0;
  if (auto* text = std::get_if<VirtualTextPacket>(&*packet)) {
    if (text->text.empty() || text->text.size() > 256 || text->text.size() + 12 != size ||
        !isValidUtf8(text->text)) {
      __builtin_trap();
    }
  } else if (size != 21 && size != 16 && size != 15 && size != 12) {
    __builtin_trap();
  }
  return 0;
}
