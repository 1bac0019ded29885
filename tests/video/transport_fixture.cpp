#include "tests/video/transport_fixture.h"

#include <poll.h>

#include <asio/post.hpp>
#include <future>

namespace ferrowin::video::fixture {

void MainThread::sync(const std::function<void()>& work) {
  std::promise<void> done;
  asio::post(context_, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

void ScriptedStreamer::start(const capture::StreamConfig& config) {
  std::lock_guard lock(mutex_);
  starts_.push_back(config);
}

void ScriptedStreamer::setCallbacks(StreamSourceCallbacks callbacks) {
  std::lock_guard lock(mutex_);
  callbacks_ = std::move(callbacks);
}

StreamSourceCallbacks ScriptedStreamer::callbacks() {
  std::lock_guard lock(mutex_);
  return callbacks_;
}

std::vector<capture::StreamConfig> ScriptedStreamer::starts() {
  std::lock_guard lock(mutex_);
  return starts_;
}

bool ScriptedStreamer::waitForStarts(size_t count, double seconds) {
  return waitUntil(seconds, [&] { return starts().size() >= count; });
}

uint16_t freePort() {
  asio::io_context context;
  for (int attempt = 0; attempt < 50; ++attempt) {
    asio::ip::tcp::acceptor tcp(context, {asio::ip::tcp::v4(), 0});
    const uint16_t port = tcp.local_endpoint().port();
    std::error_code error;
    asio::ip::udp::socket udp(context);
    udp.open(asio::ip::udp::v4());
    udp.bind({asio::ip::udp::v4(), port}, error);
    if (!error) return port;
  }
  return 0;
}

RawPeer::RawPeer(uint16_t hostPort) : host_(asio::ip::make_address("127.0.0.1"), hostPort) {
  socket_.open(asio::ip::udp::v4());
  socket_.bind({asio::ip::make_address("127.0.0.1"), 0});
}

void RawPeer::send(const Bytes& datagram) { socket_.send_to(asio::buffer(datagram), host_); }

std::optional<Bytes> RawPeer::receive(double seconds) {
  pollfd p{socket_.native_handle(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return std::nullopt;
  Bytes buffer(65536);
  asio::ip::udp::endpoint from;
  const size_t n = socket_.receive_from(asio::buffer(buffer), from);
  buffer.resize(n);
  return buffer;
}

std::optional<Bytes> RawPeer::receiveType(PacketType type, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    auto datagram = receive(0.05);
    if (datagram && datagram->size() > 5 && (*datagram)[5] == static_cast<uint8_t>(type)) {
      return datagram;
    }
  }
  return std::nullopt;
}

}  // namespace ferrowin::video::fixture
