#pragma once
// The reference client's video receivers. UdpVideoClient sends the hello (again every 200 ms until
// the host acknowledges it), answers nothing, measures the round trip with echo requests, asks for
// retransmissions in UDP/ARQ and rebuilds lost fragments in UDP/FEC. TcpVideoClient sends the
// configuration, proves it is alive once a second and reads the framed messages. Both run their own
// network thread and hand delivered messages to the caller.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "client/video/receiver_core.h"
#include "common/util/expected.h"
#include "protocol/stream_config.h"

namespace ferrowin::client {

struct VideoClientOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 52346;
  capture::StreamConfig config;
  uint8_t configVersion = 4;
  /// Drops this share of received datagrams (0-1) on purpose, to exercise recovery.
  double dropProbability = 0;
  uint32_t dropSeed = 1;
  /// Tests: drops the datagrams this returns true for (after parsing, before anything else).
  std::function<bool(const video::VGVideoDatagramHeader&)> dropFilter;
  VideoReceiverCore::Options receiver;
};

struct ProbeStep {
  uint64_t datagrams = 0;
  double firstArrival = 0;
  double lastArrival = 0;
  uint32_t minSequence = 0;
  uint32_t maxSequence = 0;
};

struct ProbeReport {
  std::vector<ProbeStep> steps;  // index = step
  /// Received bits per second of each step over its span.
  double receivedMbps(size_t step) const;
  /// The share of the step's datagrams that did not arrive (by sequence span).
  double loss(size_t step) const;
  /// The highest step rate received with under 2 % loss, in Mbit/s (0 when none).
  double usableMbps() const;
};

/// Collects messages from a network thread; the caller waits on them.
class MessageSink {
 public:
  void push(std::vector<ReceivedMessage> messages);
  std::vector<ReceivedMessage> take();
  /// Waits until at least `count` messages have arrived in all (taken or not).
  bool waitForTotal(size_t count, double seconds);
  size_t total();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedMessage> messages_;
  size_t total_ = 0;
};

class UdpVideoClient {
 public:
  explicit UdpVideoClient(VideoClientOptions options);
  ~UdpVideoClient();

  /// Opens the socket and starts sending the hello.
  [[nodiscard]] Expected<void, std::string> start();
  void stop();
  /// Asks for the bandwidth probe instead of a stream (no hello is sent).
  [[nodiscard]] Expected<void, std::string> startProbe();

  MessageSink& messages() { return sink_; }
  ReceiverCounters counters();
  bool acknowledged();
  double roundTrip();
  ProbeReport probeReport();
  uint64_t unexpectedDatagrams();
  /// Media-clock time of the last datagram from the host; nullopt before the first.
  std::optional<double> lastHeard();

 private:
  Expected<void, std::string> open();
  void receiveNext();
  void onDatagram(ByteView bytes);
  void scheduleHello();
  void scheduleEcho();
  void schedulePoll();
  void send(const video::Bytes& datagram);

  VideoClientOptions options_;
  asio::io_context context_;
  asio::ip::udp::socket socket_{context_};
  asio::ip::udp::endpoint host_;
  asio::ip::udp::endpoint from_;
  std::array<uint8_t, 65536> buffer_{};
  asio::steady_timer helloTimer_{context_}, echoTimer_{context_}, pollTimer_{context_};
  std::thread thread_;
  std::mt19937 random_;

  std::mutex mutex_;  // guards what the caller reads
  VideoReceiverCore core_;
  bool acknowledged_ = false;
  double roundTrip_ = 0;
  uint32_t nextOwnSequence_ = 1;
  ProbeReport probe_;
  uint64_t unexpected_ = 0;
  std::optional<double> lastHeard_;
  MessageSink sink_;
};

struct TcpCounters {
  uint64_t messages = 0;
  uint64_t frames = 0;
  uint64_t keyframes = 0;
  uint64_t keepalives = 0;
  uint64_t payloadBytes = 0;
  bool closed = false;
};

class TcpVideoClient {
 public:
  explicit TcpVideoClient(VideoClientOptions options);
  ~TcpVideoClient();
  [[nodiscard]] Expected<void, std::string> start();
  void stop();
  MessageSink& messages() { return sink_; }
  TcpCounters counters();

 private:
  void readHeader();
  void scheduleKeepalive();

  VideoClientOptions options_;
  asio::io_context context_;
  asio::ip::tcp::socket socket_{context_};
  asio::steady_timer keepaliveTimer_{context_};
  std::thread thread_;
  std::array<uint8_t, video::kMessageHeaderSize> header_{};
  video::Bytes payload_;
  std::mutex mutex_;
  TcpCounters counters_;
  MessageSink sink_;
};

}  // namespace ferrowin::client
