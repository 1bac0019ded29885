#include "server/video/streaming_latency_mode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/util/log.h"

namespace ferrowin::video {

bool StreamingLatencyMode::begin() {
  if (fd_ >= 0) return true;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  const int32_t target = 0;
  // The kernel keeps the request exactly as long as the file stays open.
  if (fd >= 0 && ::write(fd, &target, sizeof target) == static_cast<ssize_t>(sizeof target)) {
    fd_ = fd;
    return true;
  }
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (!loggedFailure_) {
    loggedFailure_ = true;
    common::serverLog("video")->warn("Cannot hold {} ({}); streaming without a latency request",
                                     path_, std::strerror(error));
  }
  return false;
}

void StreamingLatencyMode::end() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace ferrowin::video
