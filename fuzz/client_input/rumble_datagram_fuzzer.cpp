// The client's rumble parser, fed whatever arrives on its input socket.
#include <cstdlib>

#include "client/input/input_datagrams.h"
#include "inputhelper/packets.h"

using namespace ferrowin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto rumble = client::parseRumbleDatagram({data, size});
  if (!rumble) return 0;
  // Whatever parses must be exactly what the helper would have encoded.
  const auto again = inputhelper::encodeRumblePacket(rumble->motors, rumble->sequence);
  if (size != again.size()) std::abort();
  for (size_t i = 0; i < size; ++i) {
    if ((i < 5 || i >= 8) && data[i] != again[i]) std::abort();
  }
  return 0;
}
