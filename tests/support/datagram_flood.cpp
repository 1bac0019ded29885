#include "tests/support/datagram_flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "client/input/input_datagrams.h"
#include "protocol/wire.h"

namespace ferrowin::testing {
namespace {

using Datagram = std::vector<uint8_t>;
constexpr int kBatch = 64;
constexpr size_t kPoolSize = 512;

sockaddr_in loopback(uint32_t host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

int boundSocket(uint32_t host) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = loopback(host, 0);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint32_t draw(std::mt19937& random) { return static_cast<uint32_t>(random()); }

Datagram randomBytes(std::mt19937& random) {
  Datagram bytes(1 + random() % 1300);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

Datagram videoDatagram(video::PacketType type, std::mt19937& random, size_t payloadSize) {
  video::Bytes payload(payloadSize);
  for (auto& byte : payload) byte = static_cast<uint8_t>(random());
  return video::buildSingleDatagram(type, random(), payload);
}

// Every other datagram random, the rest one of `wellFormed` in turn.
template <class Make>
std::vector<Datagram> pool(std::mt19937& random, int kinds, Make wellFormed) {
  std::vector<Datagram> datagrams;
  for (size_t i = 0; i < kPoolSize; ++i)
    datagrams.push_back(i % 2 ? randomBytes(random) : wellFormed(static_cast<int>(i / 2) % kinds));
  return datagrams;
}

}  // namespace

DatagramFlood::DatagramFlood(Options options) : options_(options) {
  std::mt19937 random(19);
  capture::StreamConfig config;
  config.width = 320;
  config.height = 180;
  pools_[0].fromStrangers = pool(random, 4, [&](int kind) -> Datagram {
    switch (kind) {
      case 0:
        return video::buildSingleDatagram(video::PacketType::hello, random(),
                                          video::encodeStreamConfigMessage(config));
      case 1:
        return videoDatagram(video::PacketType::echoRequest, random, 8);
      case 2:
        return videoDatagram(video::PacketType::probeRequest, random, 0);
      default: {
        const uint32_t sequences[] = {draw(random), draw(random), draw(random)};
        return video::buildSingleDatagram(video::PacketType::retransmitRequest, random(),
                                          video::encodeRetransmitRequest(sequences));
      }
    }
  });
  pools_[0].fromClient = pool(random, 4, [&](int kind) -> Datagram {
    switch (kind) {
      case 0:
        return videoDatagram(video::PacketType::echoRequest, random, 8);
      case 1: {
        const uint32_t sequences[] = {draw(random) % 1000, draw(random) % 1000};
        return video::buildSingleDatagram(video::PacketType::retransmitRequest, random(),
                                          video::encodeRetransmitRequest(sequences));
      }
      case 2:
        return videoDatagram(video::PacketType::fragment, random, 1 + random() % 1200);
      default:
        return videoDatagram(video::PacketType::keepalive, random, 0);
    }
  });
  auto validInput = [&](int kind) -> Datagram {
    switch (kind) {
      case 0: {
        inputhelper::VirtualGamepadPacket pad;
        pad.sequence = random();
        pad.report.buttons = static_cast<uint16_t>(random());
        pad.report.leftTrigger = 255;
        return client::encodeGamepadDatagram(pad);
      }
      case 1:
        return client::encodeMouseDatagram(
            {.flags = 1, .x = 100, .y = 100, .wheel = 0, .sequence = draw(random)});
      case 2:
        return client::encodeKeyDatagram({.flags = 0, .keyCode = 0, .sequence = draw(random)});
      default:
        return *client::encodeTextDatagram({draw(random), "flood"});
    }
  };
  pools_[1].fromStrangers = pool(random, 4, validInput);
  pools_[1].fromClient = pool(random, 4, [&](int kind) {
    Datagram near = validInput(kind);
    if (kind % 2) {
      near[4] ^= 0x80;  // the version byte
    } else {
      near.push_back(0);  // one byte too long
    }
    return near;
  });
  for (int i = 0; i < options_.strangers; ++i) {
    const int fd = boundSocket(0x7f000002u + static_cast<uint32_t>(i));
    if (fd >= 0) strangerSockets_.push_back(fd);
  }
  thread_ = std::thread([this] { run(); });
}

DatagramFlood::~DatagramFlood() {
  stop();
  for (int fd : strangerSockets_) ::close(fd);
}

void DatagramFlood::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void DatagramFlood::run() {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const double batchInterval = kBatch / options_.ratePerPort;
  uint64_t batches = 0;  // per port
  while (!stopping_) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Behind by more than a tenth of a second: give up on the missed batches instead of bursting.
    const auto due = static_cast<uint64_t>(elapsed / batchInterval);
    if (due > batches + static_cast<uint64_t>(0.1 / batchInterval) + 1) batches = due - 1;
    if (batches >= due) {
      std::this_thread::sleep_for(std::chrono::duration<double>(batchInterval / 2));
      continue;
    }
    for (int port = 0; port < 2; ++port) sent_[port] += sendBatch(port, batches % 2, batches);
    ++batches;
  }
}

uint64_t DatagramFlood::sendBatch(int port, bool fromClient, uint64_t batch) {
  const uint16_t target = port == 0 ? options_.videoPort : options_.inputPort;
  const auto& datagrams = fromClient ? pools_[port].fromClient : pools_[port].fromStrangers;
  // The client's address sends each batch from a new socket, so from a new port.
  int fd = -1;
  if (fromClient) {
    fd = boundSocket(INADDR_LOOPBACK);
  } else if (!strangerSockets_.empty()) {
    fd = strangerSockets_[(batch / 2) % strangerSockets_.size()];
  }
  if (fd < 0) return 0;
  sockaddr_in to = loopback(INADDR_LOOPBACK, target);
  iovec parts[kBatch];
  mmsghdr messages[kBatch] = {};
  for (int i = 0; i < kBatch; ++i) {
    const auto& datagram =
        datagrams[(batch * kBatch + static_cast<uint64_t>(i)) % datagrams.size()];
    parts[i] = {const_cast<uint8_t*>(datagram.data()), datagram.size()};
    messages[i].msg_hdr.msg_name = &to;
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  uint64_t sent = 0;
  for (int next = 0; next < kBatch;) {
    const int n = ::sendmmsg(fd, messages + next, static_cast<unsigned>(kBatch - next), 0);
    if (n <= 0) break;  // an ICMP error from an earlier datagram; the rest of the batch is lost
    next += n;
    sent += static_cast<uint64_t>(n);
  }
  if (fromClient) ::close(fd);
  return sent;
}

ProcessSample sampleProcess(int pid) {
  ProcessSample sample;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  // Fields after the command name (which may hold spaces): state is field 3, utime 14, stime 15.
  const size_t close = line.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
      if (index == 14) utime = std::stoull(field);
      if (index == 15) stime = std::stoull(field);
    }
    sample.cpuSeconds =
        static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) sample.rssMegabytes = std::stod(line.substr(6)) / 1024.0;
  }
  return sample;
}

uint64_t udpDrops(uint16_t port) {
  uint64_t drops = 0;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the header
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local, field;
      fields >> slot >> local;
      const size_t colon = local.rfind(':');
      if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port)
        continue;
      // The drops counter is the last column.
      while (fields >> field) {
      }
      drops += std::stoull(field);
    }
  }
  return drops;
}

double slopePerSecond(const std::vector<double>& values, double interval) {
  const double n = static_cast<double>(values.size());
  if (values.size() < 2) return 0;
  double sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    const double x = static_cast<double>(i) * interval;
    sumX += x;
    sumY += values[i];
    sumXX += x * x;
    sumXY += x * values[i];
  }
  return (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
}

}  // namespace ferrowin::testing
