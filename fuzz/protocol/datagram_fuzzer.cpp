// Every datagram the host receives on the video port: the header check, then the parser its packet
// type leads to (hello configuration, retransmission request), as the UDP transport dispatches it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/wire.h"

using namespace ferrowin::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView bytes(data, size);
  auto datagram = parseDatagram(bytes);
  if (!datagram) return 0;
  if (datagram->payload.size() != datagram->header.payloadLength) std::abort();
  switch (static_cast<PacketType>(datagram->header.packetType)) {
    case PacketType::hello:
      (void)parseStreamConfigMessage(datagram->payload);
      break;
    case PacketType::retransmitRequest:
      (void)parseRetransmitRequest(datagram->payload);
      break;
    case PacketType::probe:
      (void)parseProbePayload(datagram->payload);
      break;
    default:
      (void)parseMessageHeader(datagram->payload);
      (void)parseParameterSetsPayload(datagram->payload);
  }
  return 0;
}
