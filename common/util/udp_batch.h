#pragma once
// Reads what a UDP socket holds in batches: one recvmmsg call for up to 32 datagrams, instead of a
// wake-up and a receive call for each. Under a flood the receiving thread then spends its time on
// the datagrams rather than on system calls.

#include <sys/socket.h>
#include <sys/uio.h>

#include <asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ferrowin::common {

class UdpBatchReader {
 public:
  static constexpr size_t kBatch = 32;

  /// `capacity`: the longest datagram read whole; a longer one is dropped.
  explicit UdpBatchReader(size_t capacity);
  UdpBatchReader(const UdpBatchReader&) = delete;
  UdpBatchReader& operator=(const UdpBatchReader&) = delete;

  /// Hands the datagrams waiting on `socket` to `handler` (sender, bytes) in arrival order, without
  /// blocking, and stops after `limit` so other work on the socket's queue gets its turn. A receive
  /// error ends the round; the caller waits for the socket to be readable again.
  template <class Handler>
  void drain(asio::ip::udp::socket& socket, Handler&& handler, size_t limit = 256) {
    for (size_t handled = 0; handled < limit;) {
      const int count = receive(socket.native_handle());
      for (int i = 0; i < count; ++i) {
        if (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
        from_[i].resize(messages_[i].msg_hdr.msg_namelen);
        handler(static_cast<const asio::ip::udp::endpoint&>(from_[i]),
                std::span<const uint8_t>(buffers_.get() + i * capacity_, messages_[i].msg_len));
      }
      if (count < static_cast<int>(kBatch)) return;
      handled += kBatch;
    }
  }

 private:
  /// One recvmmsg call: the number of datagrams read (0 when none or on an error).
  int receive(int fd);

  size_t capacity_;
  std::unique_ptr<uint8_t[]> buffers_;  // not cleared: pages are touched only as datagrams land
  std::vector<asio::ip::udp::endpoint> from_;
  std::vector<iovec> parts_;
  std::vector<mmsghdr> messages_;
};

}  // namespace ferrowin::common
