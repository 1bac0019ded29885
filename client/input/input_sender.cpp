#include "client/input/input_sender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/util/files.h"

namespace ferrowin::client {

namespace {

InputError systemError(const std::string& what) {
  return InputError{what + ": " + std::strerror(errno)};
}

}  // namespace

Expected<InputSender, InputError> InputSender::open(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  const auto service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return make_unexpected(InputError{"cannot resolve " + host + ": " + gai_strerror(rc)});
  }
  const int fd = ::socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    freeaddrinfo(found);
    return make_unexpected(systemError("socket"));
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(found->ai_addr);
  std::vector<uint8_t> address(bytes, bytes + found->ai_addrlen);
  freeaddrinfo(found);
  return InputSender(fd, std::move(address));
}

InputSender::InputSender(int fd, std::vector<uint8_t> address)
    : fd_(fd), address_(std::move(address)) {}

InputSender::InputSender(InputSender&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), address_(std::move(other.address_)) {}

InputSender::~InputSender() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<void, InputError> InputSender::send(std::span<const uint8_t> datagram) {
  const ssize_t sent =
      ::sendto(fd_, datagram.data(), datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(address_.data()), address_.size());
  if (sent != static_cast<ssize_t>(datagram.size())) return make_unexpected(systemError("send"));
  return {};
}

size_t InputSender::listenForRumble(double seconds,
                                    const std::function<void(const RumbleDatagram&)>& onRumble) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  size_t count = 0;
  uint8_t buffer[2048];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd entry{fd_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (ready <= 0) continue;  // timeout or EINTR: the deadline decides
    // An ICMP "port unreachable" from an earlier send surfaces here as an error; keep listening,
    // the helper may come up.
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) continue;
    if (auto rumble = parseRumbleDatagram({buffer, static_cast<size_t>(n)})) {
      ++count;
      onRumble(*rumble);
    }
  }
  return count;
}

uint16_t InputSender::localPort() const {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
}

Expected<uint32_t, InputError> takeInputSequence(const std::filesystem::path& stateDir) {
  const auto path = stateDir / "input-sequence";
  // A missing or unreadable counter starts again at 0, which the helper takes as a restart of the
  // client, so nothing the user sends afterwards is dropped as stale.
  uint32_t sequence = 0;
  if (auto text = common::readFile(path)) {
    uint32_t last = 0;
    const auto* end = text->data() + text->size();
    auto [ptr, ec] = std::from_chars(text->data(), end, last);
    if (ec == std::errc{} && (ptr == end || *ptr == '\n')) sequence = last + 1;  // wraps to 0
  }
  if (auto saved = common::writeFileAtomically(path, std::to_string(sequence) + "\n"); !saved) {
    return make_unexpected(InputError{saved.error().description()});
  }
  return sequence;
}

}  // namespace ferrowin::client
