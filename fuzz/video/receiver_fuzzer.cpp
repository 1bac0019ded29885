// The reference client's receive path: reassembly, ordering, retransmission bookkeeping and FEC
// recovery, fed a series of datagrams cut from the input (u16 length, then that many bytes). Half of
// the inputs are turned into well-formed headers so the fuzzer reaches the deeper paths.

#include <cstddef>
#include <cstdint>

#include "client/video/receiver_core.h"

using namespace ferrowin;
using namespace ferrowin::video;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  client::VideoReceiverCore::Options options;
  options.maxBufferedBytes = 1 << 20;
  client::VideoReceiverCore core(options);
  double now = 1.0;
  size_t at = 0;
  const bool repair = size > 0 && (data[0] & 1);
  while (size - at >= 2) {
    const size_t length = getU16(data + at);
    at += 2;
    const size_t take = std::min(length, size - at);
    Bytes datagram(data + at, data + at + take);
    at += take;
    if (repair && datagram.size() >= kDatagramHeaderSize) {
      putU32(datagram.data(), kVideoMagic);
      datagram[4] = kDatagramVersion;
      datagram[5] = 3 + 2 * (datagram[5] & 1) + 7 * ((datagram[5] >> 1) & 1 & (datagram[5] >> 2));
      putU16(datagram.data() + 32, static_cast<uint16_t>(datagram.size() - kDatagramHeaderSize));
    }
    core.onDatagram(datagram, now);
    now += 0.01;
    (void)core.dueRetransmissions(now);
    core.poll(now);
    (void)core.takeDelivered();
  }
  return 0;
}
