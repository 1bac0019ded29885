#pragma once
// Shared pieces of the transport tests: a main executor on its own thread, a scripted streamer that
// records what the transports ask of it, free loopback ports, and raw UDP peers.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "protocol/wire.h"
#include "server/video/stream_source.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::video::fixture {

/// The main executor of a test: an io_context run by its own thread.
class MainThread {
 public:
  MainThread() : guard_(asio::make_work_guard(context_)), thread_([this] { context_.run(); }) {}
  ~MainThread() {
    guard_.reset();
    context_.stop();
    thread_.join();
  }
  asio::io_context& context() { return context_; }
  /// Runs `work` on the main thread and waits for it (and for everything posted before it).
  void sync(const std::function<void()>& work = [] {});

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

class ScriptedStreamer final : public VideoStreamSource {
 public:
  void start(const capture::StreamConfig& config) override;
  void stop() override { ++stops_; }
  void setCallbacks(StreamSourceCallbacks callbacks) override;
  void setStreamStats(std::shared_ptr<VideoStreamStats>) override {}

  StreamSourceCallbacks callbacks();
  std::vector<capture::StreamConfig> starts();
  int stops() const { return stops_; }
  bool waitForStarts(size_t count, double seconds = 5);

 private:
  std::mutex mutex_;
  std::vector<capture::StreamConfig> starts_;
  std::atomic<int> stops_ = 0;
  StreamSourceCallbacks callbacks_;
};

/// A port that is free for both UDP and TCP on loopback at the time of asking.
uint16_t freePort();

/// A raw UDP peer on loopback for byte-exact exchanges.
class RawPeer {
 public:
  explicit RawPeer(uint16_t hostPort);
  void send(const Bytes& datagram);
  /// The next datagram within `seconds`, or none.
  std::optional<Bytes> receive(double seconds = 1.0);
  /// Receives until a datagram of `type` arrives (others are discarded), or none.
  std::optional<Bytes> receiveType(PacketType type, double seconds = 2.0);

 private:
  asio::io_context context_;
  asio::ip::udp::socket socket_{context_};
  asio::ip::udp::endpoint host_;
};

using ferrowin::testing::waitUntil;

}  // namespace ferrowin::video::fixture
