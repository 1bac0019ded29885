// Virtual HID devices on /dev/uhid. Each device owns one file descriptor (or, for tests, a
// SOCK_SEQPACKET connection to $FERROWIN_UHID_SOCKET) and one reader thread that answers the
// kernel's requests through the device's handlers.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/runtime/serial_queue.h"
#include "common/util/log.h"
#include "platform/linux/uhid_events.h"
#include "platform/virtual_hid.h"

namespace ferrowin::platform {
namespace {

constexpr const char* kSocketVariable = "FERROWIN_UHID_SOCKET";
constexpr const char* kDevicePath = "/dev/uhid";

auto log() { return common::serverLog("virtual-hid"); }

VirtualHIDError systemError(const std::string& what, int code) {
  return VirtualHIDError{what + ": " + std::strerror(code), code};
}

const char* socketPath() {
  const char* path = std::getenv(kSocketVariable);
  return path && *path ? path : nullptr;
}

struct Channel {
  int fd = -1;
  bool isSocket = false;
};

Expected<Channel, VirtualHIDError> openChannel() {
  if (const char* path = socketPath()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
      return make_unexpected(VirtualHIDError{"uhid socket path too long", ENAMETOOLONG});
    }
    std::strcpy(address.sun_path, path);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return make_unexpected(systemError("socket", errno));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      int code = errno;
      ::close(fd);
      return make_unexpected(systemError(std::string("connect ") + path, code));
    }
    return Channel{fd, true};
  }
  int fd = ::open(kDevicePath, O_RDWR | O_CLOEXEC);
  if (fd < 0) return make_unexpected(systemError(std::string("open ") + kDevicePath, errno));
  return Channel{fd, false};
}

// What the reader thread and the device object share. When the last owner lets go of a device
// from inside one of its own handlers, the thread is detached and keeps this alive until it ends.
struct DeviceState {
  DeviceState(Channel channel, VirtualHIDHandlers handlersIn, std::string labelIn)
      : fd(channel.fd),
        isSocket(channel.isSocket),
        wakeFd(::eventfd(0, EFD_CLOEXEC)),
        handlers(std::move(handlersIn)),
        label(std::move(labelIn)) {}
  ~DeviceState() {
    closeFd();
    if (wakeFd >= 0) ::close(wakeFd);
  }

  // Only once the reader has stopped using it.
  void closeFd() {
    std::lock_guard lock(writeLock);
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // One whole event per call; refused once the device is cancelled.
  Expected<void, VirtualHIDError> write(const std::vector<uint8_t>& event) {
    std::lock_guard lock(writeLock);
    if (cancelRequested) return make_unexpected(VirtualHIDError{"device cancelled", ENODEV});
    return writeLocked(event);
  }

  Expected<void, VirtualHIDError> writeLocked(const std::vector<uint8_t>& event) {
    for (;;) {
      // MSG_NOSIGNAL: a vanished test kernel must not kill the helper with SIGPIPE.
      ssize_t written = isSocket ? ::send(fd, event.data(), event.size(), MSG_NOSIGNAL)
                                 : ::write(fd, event.data(), event.size());
      if (written == static_cast<ssize_t>(event.size())) return {};
      if (written < 0 && errno == EINTR) continue;
      return make_unexpected(systemError("uhid write", written < 0 ? errno : EIO));
    }
  }

  void runCancelledOnce() {
    if (!cancelledRan.exchange(true) && handlers.cancelled) handlers.cancelled();
  }

  int fd;  // closed (-1) only after the reader has ended; writes check cancelRequested first
  const bool isSocket;
  const int wakeFd;
  const VirtualHIDHandlers handlers;
  const std::string label;
  std::mutex writeLock;
  bool cancelRequested = false;  // guarded by writeLock
  std::atomic<bool> cancelledRan{false};
};

void reply(DeviceState& state, const std::vector<uint8_t>& event) {
  if (auto written = state.write(event); !written) {
    log()->debug("uhid reply failed: {}", written.error().description());
  }
}

void dispatch(DeviceState& state, std::span<const uint8_t> bytes) {
  auto event = uhid::decodeKernelEvent(bytes);
  if (!event) {
    log()->debug("uhid: ignoring event from kernel: {}", event.error().description());
    // A malformed request still gets an answer, so the kernel side is not left waiting.
    if (event.error().unansweredRequest == uhid::KernelEventType::getReport) {
      reply(state, uhid::encodeGetReportReply(event.error().requestId, EINVAL, {}));
    } else if (event.error().unansweredRequest == uhid::KernelEventType::setReport) {
      reply(state, uhid::encodeSetReportReply(event.error().requestId, EINVAL));
    }
    return;
  }
  const auto& handlers = state.handlers;
  switch (event->type) {
    case uhid::KernelEventType::start:
    case uhid::KernelEventType::stop:
    case uhid::KernelEventType::open:
    case uhid::KernelEventType::close:
      break;
    case uhid::KernelEventType::output:
      if (handlers.output) handlers.output(event->reportType, event->data);
      break;
    case uhid::KernelEventType::getReport: {
      Expected<std::vector<uint8_t>, int> answer = make_unexpected(EOPNOTSUPP);
      if (handlers.getReport) answer = handlers.getReport(event->reportType, event->reportNumber);
      reply(state, answer ? uhid::encodeGetReportReply(event->requestId, 0, *answer)
                          : uhid::encodeGetReportReply(event->requestId, answer.error(), {}));
      break;
    }
    case uhid::KernelEventType::setReport: {
      int error = EOPNOTSUPP;
      if (handlers.setReport) {
        error = handlers.setReport(event->reportType, event->reportNumber, event->data);
      }
      reply(state, uhid::encodeSetReportReply(event->requestId, error));
      break;
    }
  }
}

void readerLoop(const std::shared_ptr<DeviceState>& state) {
  common::nameCurrentThread(state->label);
  std::vector<uint8_t> buffer(uhid::kEventSize);
  for (;;) {
    pollfd fds[2] = {{state->fd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;  // cancel
    if (fds[0].revents & POLLIN) {
      ssize_t got = ::read(state->fd, buffer.data(), buffer.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) break;  // the kernel side went away
      dispatch(*state, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)));
    } else if (fds[0].revents != 0) {
      break;
    }
  }
  bool cancelRequested;
  {
    std::lock_guard lock(state->writeLock);
    cancelRequested = state->cancelRequested;
  }
  if (cancelRequested) state->runCancelledOnce();
}

class UhidDevice final : public VirtualHIDDevice {
 public:
  explicit UhidDevice(std::shared_ptr<DeviceState> state)
      : state_(std::move(state)), thread_([state = state_] { readerLoop(state); }) {}
  ~UhidDevice() override { cancel(); }

  Expected<void, VirtualHIDError> sendInputReport(std::span<const uint8_t> report) override {
    auto event = uhid::encodeInput2(report);
    if (!event) return make_unexpected(event.error());
    return state_->write(*event);
  }

  void cancel() override {
    {
      std::lock_guard lock(state_->writeLock);
      if (state_->cancelRequested) return;
      (void)state_->writeLocked(uhid::encodeDestroy());
      state_->cancelRequested = true;
    }
    uint64_t one = 1;
    (void)!::write(state_->wakeFd, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Cancelled from one of our own handlers: the loop ends when the handler returns.
      thread_.detach();
      return;
    }
    thread_.join();
    state_->closeFd();
    state_->runCancelledOnce();  // when the reader had already ended on its own
  }

 private:
  std::shared_ptr<DeviceState> state_;
  std::thread thread_;
};

class UhidBackend final : public VirtualHIDBackend {
 public:
  bool available() override {
    if (const char* path = socketPath()) {
      struct stat st {};
      return ::stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
    }
    int fd = ::open(kDevicePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  Expected<std::unique_ptr<VirtualHIDDevice>, VirtualHIDError> create(
      const VirtualHIDProperties& properties, VirtualHIDHandlers handlers,
      const std::string& queueLabel) override {
    auto event = uhid::encodeCreate2(properties);
    if (!event) return make_unexpected(event.error());
    auto channel = openChannel();
    if (!channel) return make_unexpected(channel.error());
    auto state = std::make_shared<DeviceState>(*channel, std::move(handlers), queueLabel);
    if (state->wakeFd < 0) return make_unexpected(systemError("eventfd", errno));
    if (auto created = state->write(*event); !created) return make_unexpected(created.error());
    return std::unique_ptr<VirtualHIDDevice>(std::make_unique<UhidDevice>(std::move(state)));
  }
};

}  // namespace

std::unique_ptr<VirtualHIDBackend> makeUhidBackend() { return std::make_unique<UhidBackend>(); }

}  // namespace ferrowin::platform
