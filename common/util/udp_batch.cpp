#include "common/util/udp_batch.h"

#include <cerrno>

namespace ferrowin::common {

UdpBatchReader::UdpBatchReader(size_t capacity)
    : capacity_(capacity),
      buffers_(new uint8_t[kBatch * capacity]),
      from_(kBatch),
      parts_(kBatch),
      messages_(kBatch) {}

int UdpBatchReader::receive(int fd) {
  for (size_t i = 0; i < kBatch; ++i) {
    parts_[i] = {buffers_.get() + i * capacity_, capacity_};
    messages_[i] = {};
    messages_[i].msg_hdr.msg_name = from_[i].data();
    messages_[i].msg_hdr.msg_namelen = static_cast<socklen_t>(from_[i].capacity());
    messages_[i].msg_hdr.msg_iov = &parts_[i];
    messages_[i].msg_hdr.msg_iovlen = 1;
  }
  int count;
  do {
    count = ::recvmmsg(fd, messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
  } while (count < 0 && errno == EINTR);
  return count < 0 ? 0 : count;
}

}  // namespace ferrowin::common
