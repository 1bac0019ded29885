// Video transport benchmarks, each beside a baseline measured in the same run:
//   FEC parity generation vs memcpy of the same bytes;
//   the UDP send path (framing, fragmenting, FEC or replay, send) vs a raw sendto loop of the same
//   datagrams to the same receiver, and a raw sendmmsg of them per frame;
//   TCP stream throughput through the transport vs raw writes on a plain connection;
//   the UDP receive path rejecting a stranger's flood vs a plain socket reading the same
//   datagrams with one recvfrom each, and with recvmmsg.

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "protocol/fec.h"
#include "server/video/tcp_transport.h"
#include "server/video/udp_transport.h"

using namespace ferrowin;
using namespace ferrowin::video;

namespace {

// ---- FEC ----

std::vector<Bytes> fecBlock() {
  std::vector<Bytes> shards;
  for (int i = 0; i < 10; ++i) {
    Bytes shard(kMaxDatagramSize);
    for (size_t j = 0; j < shard.size(); ++j) shard[j] = static_cast<uint8_t>(j * 31 + i * 7);
    shards.push_back(std::move(shard));
  }
  return shards;
}

void BM_FecParity(benchmark::State& state) {
  const auto shards = fecBlock();
  std::vector<ByteView> views(shards.begin(), shards.end());
  Bytes p, q;
  for (auto _ : state) {
    computeFecParity(views, p, q);
    benchmark::DoNotOptimize(p.data());
    benchmark::DoNotOptimize(q.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 10 * kMaxDatagramSize);
}
BENCHMARK(BM_FecParity);

void BM_FecBaselineMemcpy(benchmark::State& state) {
  const auto shards = fecBlock();
  Bytes out(10 * kMaxDatagramSize);
  for (auto _ : state) {
    for (int i = 0; i < 10; ++i) {
      std::memcpy(out.data() + i * kMaxDatagramSize, shards[i].data(), kMaxDatagramSize);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 10 * kMaxDatagramSize);
}
BENCHMARK(BM_FecBaselineMemcpy);

// ---- UDP send path ----

constexpr size_t kFrameBytes = 14000;  // 12 fragments
constexpr int kMessagesPerIteration = 100;

struct UdpRig {
  asio::io_context main;
  asio::io_context io;
  asio::ip::udp::socket receiver{io};
  std::shared_ptr<VideoUDPTransport> transport;
  uint16_t port = 0;

  explicit UdpRig(VideoTransportMode mode) {
    receiver.open(asio::ip::udp::v4());
    receiver.bind({asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v4(), 0});
    port = probe.local_endpoint().port();
    probe.close();
    transport = VideoUDPTransport::create(main);
    transport->setTransportMode(mode);
    transport->setAllowPeer([](const std::string&) { return true; });
    transport->start(port, {}, {}, nullptr, {});
    // The receiving socket becomes the client flow; nobody reads it, loopback drops the overflow.
    receiver.send_to(asio::buffer(buildSingleDatagram(PacketType::hello, 1,
                                                      encodeStreamConfigMessage({}))),
                     {asio::ip::make_address("127.0.0.1"), port});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~UdpRig() { transport->stop(); }
};

void BM_UdpSendPath(benchmark::State& state) {
  UdpRig rig(static_cast<VideoTransportMode>(state.range(0)));
  const Bytes frame(kFrameBytes, 0x5A);
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) rig.transport->sendEncoded(frame, false, i);
    rig.transport->sendQueue().sync([] {});
  }
  const int fragments = (kFrameBytes + kMessageHeaderSize + 1199) / 1200;
  const int parity = rig.transport->transportMode() == VideoTransportMode::udpFec ? 2 : 0;
  const double perMessage = fragments + parity * fragments / 10.0;
  state.SetItemsProcessed(
      static_cast<int64_t>(state.iterations() * kMessagesPerIteration * perMessage));
  state.SetLabel(std::string(transportModeText(rig.transport->transportMode())));
}
BENCHMARK(BM_UdpSendPath)
    ->Arg(static_cast<int>(VideoTransportMode::udpArq))
    ->Arg(static_cast<int>(VideoTransportMode::udpFec))
    ->UseRealTime();

/// The same fragment datagrams of a frame, ready to send from a plain socket.
struct RawUdpRig {
  asio::io_context io;
  asio::ip::udp::socket receiver{io}, sender{io};
  asio::ip::udp::endpoint to;
  std::vector<Bytes> datagrams;
  int fragments = (kFrameBytes + kMessageHeaderSize + 1199) / 1200;

  RawUdpRig() {
    receiver.open(asio::ip::udp::v4());
    receiver.bind({asio::ip::make_address("127.0.0.1"), 0});
    sender.open(asio::ip::udp::v4());
    const int buffer = 4 * 1024 * 1024;
    setsockopt(sender.native_handle(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    to = receiver.local_endpoint();
    datagrams.assign(fragments, Bytes(kMaxDatagramSize, 0x5A));
    datagrams.back().resize(kDatagramHeaderSize + (kFrameBytes + kMessageHeaderSize) % 1200);
  }
};

void BM_UdpBaselineSendto(benchmark::State& state) {
  RawUdpRig rig;
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) {
      for (const Bytes& d : rig.datagrams) {
        ::sendto(rig.sender.native_handle(), d.data(), d.size(), MSG_DONTWAIT, rig.to.data(),
                 static_cast<socklen_t>(rig.to.size()));
      }
    }
  }
  state.SetItemsProcessed(
      static_cast<int64_t>(state.iterations() * kMessagesPerIteration * rig.fragments));
}
BENCHMARK(BM_UdpBaselineSendto)->UseRealTime();

void BM_UdpBaselineSendmmsg(benchmark::State& state) {
  RawUdpRig rig;
  std::vector<iovec> parts(rig.datagrams.size());
  std::vector<mmsghdr> messages(rig.datagrams.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i] = {rig.datagrams[i].data(), rig.datagrams[i].size()};
    messages[i].msg_hdr.msg_name = rig.to.data();
    messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(rig.to.size());
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) {
      ::sendmmsg(rig.sender.native_handle(), messages.data(),
                 static_cast<unsigned>(messages.size()), MSG_DONTWAIT);
    }
  }
  state.SetItemsProcessed(
      static_cast<int64_t>(state.iterations() * kMessagesPerIteration * rig.fragments));
}
BENCHMARK(BM_UdpBaselineSendmmsg)->UseRealTime();

// ---- TCP throughput ----

constexpr size_t kTcpMessage = 64 * 1024;

/// Reads and counts everything arriving on `socket` on its own thread. The waiting side sleeps
/// rather than spins, so on two cores it does not take a core from the writer being measured.
struct Drain {
  std::atomic<uint64_t> bytes{0};
  std::thread thread;
  explicit Drain(asio::ip::tcp::socket& socket) {
    thread = std::thread([this, &socket] {
      std::vector<uint8_t> buffer(1 << 20);
      std::error_code error;
      while (!error) {
        bytes += socket.read_some(asio::buffer(buffer), error);
        bytes.notify_all();
      }
      bytes.store(UINT64_MAX);
      bytes.notify_all();
    });
  }
  void waitFor(uint64_t total) {
    for (uint64_t seen = bytes.load(); seen < total; seen = bytes.load()) bytes.wait(seen);
  }
};

void BM_TcpTransportThroughput(benchmark::State& state) {
  asio::io_context main, io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v4(), 0});
  const uint16_t port = probe.local_endpoint().port();
  probe.close();
  auto transport = VideoTCPTransport::create(main);
  transport->setAllowPeer([](const std::string&) { return true; });
  transport->start(port, {}, {}, nullptr, {});
  asio::ip::tcp::socket client(io);
  client.connect({asio::ip::make_address("127.0.0.1"), port});
  asio::write(client, asio::buffer(encodeStreamConfigMessage({})));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Drain drain(client);
  // The streamer hands over each finished message (moved, as encoded data arrives); producing those
  // buffers is the encoder's cost, not the send path's, so it happens outside the timing.
  const Bytes payload(kTcpMessage, 1);
  std::vector<Bytes> messages;
  uint64_t expected = 0;
  for (auto _ : state) {
    state.PauseTiming();
    messages.assign(kMessagesPerIteration, payload);
    state.ResumeTiming();
    for (int i = 0; i < kMessagesPerIteration; ++i) transport->sendAudio(std::move(messages[i]), i);
    expected += kMessagesPerIteration * (kTcpMessage + kMessageHeaderSize);
    drain.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<int64_t>(expected));
  transport->stop();
  client.close();
  drain.thread.join();
}
BENCHMARK(BM_TcpTransportThroughput)->UseRealTime();

void BM_TcpBaselineWrite(benchmark::State& state) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::tcp::socket client(io), server(io);
  client.connect(acceptor.local_endpoint());
  acceptor.accept(server);
  server.set_option(asio::ip::tcp::no_delay(true));
  Drain drain(client);
  const Bytes message(kTcpMessage + kMessageHeaderSize, 1);
  uint64_t expected = 0;
  for (auto _ : state) {
    for (int i = 0; i < kMessagesPerIteration; ++i) asio::write(server, asio::buffer(message));
    expected += kMessagesPerIteration * message.size();
    drain.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<int64_t>(expected));
  server.close();
  client.close();
  drain.thread.join();
}
BENCHMARK(BM_TcpBaselineWrite)->UseRealTime();

// ---- UDP receive path under a stranger's flood ----

constexpr int kFloodBatch = 64;

/// What a stranger floods the video port with: random bytes, and valid hellos that only the
/// allowlist stops.
std::vector<Bytes> strangerDatagrams() {
  std::mt19937 random(7);
  std::vector<Bytes> datagrams;
  for (int i = 0; i < kFloodBatch; ++i) {
    if (i % 2) {
      datagrams.push_back(
          buildSingleDatagram(PacketType::hello, i, encodeStreamConfigMessage({})));
    } else {
      Bytes bytes(1 + random() % 1200);
      for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
      datagrams.push_back(std::move(bytes));
    }
  }
  return datagrams;
}

/// CPU time of the calling thread, in nanoseconds.
double threadCpuNanos() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

/// Receive CPU per datagram: what the benchmarks below compare (the wall time also holds the
/// sender's work and, for the transport, a hop to its thread and back).
void reportReceiveCpu(benchmark::State& state, double nanos) {
  state.counters["rx_cpu_ns"] = nanos / static_cast<double>(state.iterations() * kFloodBatch);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFloodBatch);
}

void sendAll(asio::ip::udp::socket& from, const asio::ip::udp::endpoint& to,
             const std::vector<Bytes>& datagrams) {
  std::vector<iovec> parts(datagrams.size());
  std::vector<mmsghdr> messages(datagrams.size());
  for (size_t i = 0; i < datagrams.size(); ++i) {
    parts[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
    messages[i].msg_hdr.msg_name = const_cast<sockaddr*>(to.data());
    messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(to.size());
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (size_t sent = 0; sent < messages.size();) {
    const int n = ::sendmmsg(from.native_handle(), messages.data() + sent,
                             static_cast<unsigned>(messages.size() - sent), 0);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
}

/// A transport streaming to a client on 127.0.0.1 and a stranger on 127.0.0.2.
struct StrangerRig {
  asio::io_context main, io;
  asio::ip::udp::socket client{io, {asio::ip::make_address("127.0.0.1"), 0}};
  asio::ip::udp::socket stranger{io, {asio::ip::make_address("127.0.0.2"), 0}};
  asio::ip::udp::endpoint host;
  std::shared_ptr<VideoUDPTransport> transport = VideoUDPTransport::create(main);

  StrangerRig() {
    asio::ip::tcp::acceptor probe(io, {asio::ip::tcp::v4(), 0});
    const uint16_t port = probe.local_endpoint().port();
    probe.close();
    host = {asio::ip::make_address("127.0.0.1"), port};
    transport->setAllowPeer([](const std::string& address) { return address == "127.0.0.1"; });
    transport->start(port, {}, {}, nullptr, {});
    client.send_to(asio::buffer(buildSingleDatagram(PacketType::hello, 1,
                                                    encodeStreamConfigMessage({}))),
                   host);
    roundTrip();
  }
  ~StrangerRig() { transport->stop(); }

  /// The client's echo comes back once the transport has read everything that came before it.
  void roundTrip() {
    const uint8_t stamp[8] = {};
    client.send_to(asio::buffer(buildSingleDatagram(PacketType::echoRequest, 2, stamp)), host);
    std::array<uint8_t, 2048> buffer;
    while (client.receive(asio::buffer(buffer)) < kDatagramHeaderSize ||
           buffer[5] != static_cast<uint8_t>(PacketType::echoReply)) {
    }
  }
};

void BM_UdpReceiveRejectsStrangers(benchmark::State& state) {
  StrangerRig rig;
  const auto datagrams = strangerDatagrams();
  auto queueCpu = [&] {
    double nanos = 0;
    rig.transport->queue().sync([&] { nanos = threadCpuNanos(); });
    return nanos;
  };
  const double before = queueCpu();
  for (auto _ : state) {
    sendAll(rig.stranger, rig.host, datagrams);
    rig.roundTrip();
  }
  reportReceiveCpu(state, queueCpu() - before);
}
BENCHMARK(BM_UdpReceiveRejectsStrangers)->UseRealTime();

/// The stranger's datagrams into a plain socket, read by `read` (which returns once it has read
/// them all); only the reading counts.
template <class Read>
void plainReceiveBaseline(benchmark::State& state, Read read) {
  asio::io_context io;
  asio::ip::udp::socket receiver(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::udp::socket stranger(io, {asio::ip::make_address("127.0.0.2"), 0});
  const auto datagrams = strangerDatagrams();
  double cpu = 0;
  for (auto _ : state) {
    sendAll(stranger, receiver.local_endpoint(), datagrams);
    const double start = threadCpuNanos();
    read(receiver);
    cpu += threadCpuNanos() - start;
  }
  reportReceiveCpu(state, cpu);
}

void BM_UdpReceiveBaselineRecvfrom(benchmark::State& state) {
  std::array<uint8_t, 2048> buffer;
  plainReceiveBaseline(state, [&](asio::ip::udp::socket& receiver) {
    for (int i = 0; i < kFloodBatch; ++i) {
      benchmark::DoNotOptimize(receiver.receive(asio::buffer(buffer)));
    }
  });
}
BENCHMARK(BM_UdpReceiveBaselineRecvfrom)->UseRealTime();

void BM_UdpReceiveBaselineRecvmmsg(benchmark::State& state) {
  std::vector<std::array<uint8_t, 2048>> buffers(kFloodBatch);
  std::vector<iovec> parts(kFloodBatch);
  std::vector<mmsghdr> messages(kFloodBatch);
  plainReceiveBaseline(state, [&](asio::ip::udp::socket& receiver) {
    for (int read = 0; read < kFloodBatch;) {
      for (int i = 0; i < kFloodBatch; ++i) {
        parts[i] = {buffers[i].data(), buffers[i].size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(receiver.native_handle(), messages.data(),
                               static_cast<unsigned>(kFloodBatch - read), 0, nullptr);
      if (n > 0) read += n;
    }
  });
}
BENCHMARK(BM_UdpReceiveBaselineRecvmmsg)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
