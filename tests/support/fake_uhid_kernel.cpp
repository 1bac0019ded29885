#include "tests/support/fake_uhid_kernel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>

namespace ferrowin::testing {

namespace {

// uhid_event_type values.
constexpr uint32_t kDestroy = 1, kStart = 2, kOpen = 4, kOutput = 6, kGetReport = 9,
                   kGetReportReply = 10, kCreate2 = 11, kInput2 = 12, kSetReport = 13,
                   kSetReportReply = 14;
constexpr size_t kDataMax = 4096;

uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(u16(b, at) | u16(b, at + 2) << 16);
}
void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
std::string text(const std::vector<uint8_t>& b, size_t at, size_t size) {
  std::string s(reinterpret_cast<const char*>(b.data() + at), size);
  return s.substr(0, s.find('\0'));
}
std::vector<uint8_t> event(uint32_t type) {
  std::vector<uint8_t> b(FakeUhidKernel::kEventSize, 0);
  put32(b, 0, type);
  return b;
}

}  // namespace

struct FakeUhidKernel::Device {
  int fd = -1;
  std::thread reader;
  std::optional<Created> created;
  std::vector<std::vector<uint8_t>> inputs;
  bool destroyed = false;
  bool closed = false;
  std::map<uint32_t, GetReportReply> getReplies;
  std::map<uint32_t, uint16_t> setReplies;
};

FakeUhidKernel::FakeUhidKernel() : path_((dir_ / "uhid.sock").string()) {
  listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::strcpy(address.sun_path, path_.c_str());
  if (listenFd_ < 0 || wakeFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("fake uhid kernel: cannot listen on " + path_);
  }
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeUhidKernel::~FakeUhidKernel() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  acceptThread_.join();
  for (auto& device : devices_) {
    device->reader.join();
    ::close(device->fd);
  }
  ::close(listenFd_);
  ::close(wakeFd_);
}

void FakeUhidKernel::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto device = std::make_unique<Device>();
    device->fd = fd;
    Device& ref = *device;
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
    ref.reader = std::thread([this, &ref] { readLoop(ref); });
    changed_.notify_all();
  }
}

void FakeUhidKernel::readLoop(Device& device) {
  std::vector<uint8_t> buffer(kEventSize * 2);
  for (;;) {
    pollfd fds[2] = {{device.fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    ssize_t got = ::recv(device.fd, buffer.data(), buffer.size(), 0);
    std::lock_guard lock(mutex_);
    if (got <= 0) {
      device.closed = true;
      changed_.notify_all();
      return;
    }
    std::vector<uint8_t> event(buffer.begin(), buffer.begin() + got);
    event.resize(std::max(event.size(), kEventSize), 0);
    record(device, event);
    changed_.notify_all();
  }
}

void FakeUhidKernel::record(Device& device, const std::vector<uint8_t>& e) {
  switch (u32(e, 0)) {
    case kCreate2: {
      Created created{text(e, 4, 128), text(e, 132, 64), text(e, 196, 64), u16(e, 262), u32(e, 264),
                      u32(e, 268),     u32(e, 272),      u32(e, 276),      {}};
      size_t size = std::min<size_t>(u16(e, 260), kDataMax);
      created.descriptor.assign(e.begin() + 280, e.begin() + 280 + size);
      device.created = std::move(created);
      break;
    }
    case kInput2: {
      size_t size = std::min<size_t>(u16(e, 4), kDataMax);
      device.inputs.emplace_back(e.begin() + 6, e.begin() + 6 + size);
      break;
    }
    case kDestroy:
      device.destroyed = true;
      break;
    case kGetReportReply: {
      size_t size = std::min<size_t>(u16(e, 10), kDataMax);
      device.getReplies[u32(e, 4)] = {u16(e, 8), {e.begin() + 12, e.begin() + 12 + size}};
      break;
    }
    case kSetReportReply:
      device.setReplies[u32(e, 4)] = u16(e, 8);
      break;
    default:
      break;
  }
}

template <class Predicate>
bool FakeUhidKernel::waitUntil(double seconds, Predicate predicate) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return predicate(); });
}

FakeUhidKernel::Device& FakeUhidKernel::deviceAt(size_t device) const {
  if (!waitUntil(kWait, [&] { return device < devices_.size(); })) {
    throw std::out_of_range("no such fake uhid device");
  }
  std::lock_guard lock(mutex_);
  return *devices_[device];
}

size_t FakeUhidKernel::deviceCount() const {
  std::lock_guard lock(mutex_);
  return devices_.size();
}

std::optional<FakeUhidKernel::Created> FakeUhidKernel::waitForCreate(size_t device,
                                                                     double seconds) const {
  std::optional<Created> created;
  waitUntil(seconds, [&] {
    if (device < devices_.size()) created = devices_[device]->created;
    return created.has_value();
  });
  return created;
}

std::vector<std::vector<uint8_t>> FakeUhidKernel::waitForInputs(size_t device, size_t count,
                                                                double seconds) const {
  std::vector<std::vector<uint8_t>> inputs;
  waitUntil(seconds, [&] {
    if (device < devices_.size()) inputs = devices_[device]->inputs;
    return inputs.size() >= count;
  });
  return inputs;
}

std::vector<std::vector<uint8_t>> FakeUhidKernel::inputs(size_t device) const {
  return waitForInputs(device, 0, 0);
}

bool FakeUhidKernel::waitForDestroy(size_t device, double seconds) const {
  return waitUntil(seconds,
                   [&] { return device < devices_.size() && devices_[device]->destroyed; });
}

bool FakeUhidKernel::waitForClose(size_t device, double seconds) const {
  return waitUntil(seconds, [&] { return device < devices_.size() && devices_[device]->closed; });
}

void FakeUhidKernel::send(size_t device, const std::vector<uint8_t>& bytes) {
  int fd = deviceAt(device).fd;
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("fake uhid kernel: send failed");
  }
}

void FakeUhidKernel::sendStart(size_t device) { send(device, event(kStart)); }
void FakeUhidKernel::sendOpen(size_t device) { send(device, event(kOpen)); }
void FakeUhidKernel::sendRaw(size_t device, const std::vector<uint8_t>& bytes) {
  send(device, bytes);
}

void FakeUhidKernel::sendOutput(size_t device, uint8_t reportType,
                                const std::vector<uint8_t>& data) {
  auto e = event(kOutput);
  std::copy(data.begin(), data.end(), e.begin() + 4);
  put16(e, 4 + kDataMax, static_cast<uint16_t>(data.size()));
  e[4 + kDataMax + 2] = reportType;
  send(device, e);
}

uint32_t FakeUhidKernel::sendGetReport(size_t device, uint8_t reportNumber, uint8_t reportType) {
  uint32_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextRequestId_++;
  }
  auto e = event(kGetReport);
  put32(e, 4, id);
  e[8] = reportNumber;
  e[9] = reportType;
  send(device, e);
  return id;
}

uint32_t FakeUhidKernel::sendSetReport(size_t device, uint8_t reportNumber, uint8_t reportType,
                                       const std::vector<uint8_t>& data) {
  uint32_t id;
  {
    std::lock_guard lock(mutex_);
    id = nextRequestId_++;
  }
  auto e = event(kSetReport);
  put32(e, 4, id);
  e[8] = reportNumber;
  e[9] = reportType;
  put16(e, 10, static_cast<uint16_t>(data.size()));
  std::copy(data.begin(), data.end(), e.begin() + 12);
  send(device, e);
  return id;
}

std::optional<FakeUhidKernel::GetReportReply> FakeUhidKernel::waitForGetReportReply(
    size_t device, uint32_t requestId, double seconds) const {
  std::optional<GetReportReply> reply;
  waitUntil(seconds, [&] {
    if (device >= devices_.size()) return false;
    auto it = devices_[device]->getReplies.find(requestId);
    if (it != devices_[device]->getReplies.end()) reply = it->second;
    return reply.has_value();
  });
  return reply;
}

std::optional<uint16_t> FakeUhidKernel::waitForSetReportReply(size_t device, uint32_t requestId,
                                                              double seconds) const {
  std::optional<uint16_t> reply;
  waitUntil(seconds, [&] {
    if (device >= devices_.size()) return false;
    auto it = devices_[device]->setReplies.find(requestId);
    if (it != devices_[device]->setReplies.end()) reply = it->second;
    return reply.has_value();
  });
  return reply;
}

}  // namespace ferrowin::testing
