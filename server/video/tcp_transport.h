#pragma once
// The TCP video transport: one client connection at a time on the video port. The client sends its
// configuration message once, then small frames that only prove it is alive; the host sends each
// stream message as a 20-byte header and its payload, strictly one write at a time, in call order.
// A message may be queued from any thread; one writer on the send queue writes what is queued.
//
// Threads: accepting, connection state, reading and timers run on "com.zavel.ferrowin.video.tcp";
// the outbound queue and every write on "com.zavel.ferrowin.video.tcp.send"; callbacks to the video
// server on the main executor.

#include <sys/uio.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "server/video/client_liveness.h"
#include "server/video/transport_common.h"

namespace ferrowin::video {

class VideoTCPTransport final : public TransportCommon,
                                public std::enable_shared_from_this<VideoTCPTransport> {
 public:
  /// A client that stops reading may hold at most this much queued output; past it the connection
  /// is ended as a failed send ends it, and the client reconnects.
  static constexpr size_t kMaxOutboundBytes = 64 * 1024 * 1024;

  static std::shared_ptr<VideoTCPTransport> create(
      asio::io_context& main, const common::Clock& clock = common::SteadyClock::instance(),
      common::TimerFactory* timers = nullptr);
  ~VideoTCPTransport() override;

  bool start(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
             std::weak_ptr<VideoStreamStats> stats, std::shared_ptr<VideoDiagnosticsGate> gate,
             TransportCallbacks callbacks) override;
  void stop() override;
  uint16_t localPort() const override;

  bool isRunning() const { return running_; }
  common::SerialQueue& queue() { return queue_; }
  common::SerialQueue& sendQueue() { return sendQueue_; }

 private:
  VideoTCPTransport(asio::io_context& main, const common::Clock& clock,
                    common::TimerFactory* timers);

  struct Connection {
    explicit Connection(asio::io_context& context) : socket(context) {}
    uint64_t id = 0;
    asio::ip::tcp::socket socket;
    std::string address;
    std::string endpoint;
    Bytes buffer;
  };
  /// The writing end: a duplicate of the connection's socket, owned by the send queue.
  struct WriteSide {
    WriteSide(uint64_t connectionId, int socketFd) : id(connectionId), fd(socketFd) {}
    ~WriteSide() { ::close(fd); }
    WriteSide(const WriteSide&) = delete;
    WriteSide& operator=(const WriteSide&) = delete;
    uint64_t id;
    int fd;
    bool failed = false;
  };

  // Receive queue.
  void acceptNext();
  void onAccepted(asio::ip::tcp::socket socket);
  void readConfig(std::shared_ptr<Connection> connection);
  void onConfig(const std::shared_ptr<Connection>& connection);
  void readFrame(std::shared_ptr<Connection> connection);
  void endConnection(uint64_t id);
  void closeConnection();
  void stopOnQueue();

  // Any thread: queues the message and starts the writer when it is idle.
  void queueMessage(MessageKind kind, uint8_t flags, uint64_t pts, Bytes payload) override;
  // Send queue.
  void writeQueued();
  static bool writeAll(int fd, std::vector<iovec>& parts);
  void dropWriteSide();
  // Any thread.
  void clearOutbox();

  common::SerialQueue queue_{"com.zavel.ferrowin.video.tcp"};
  common::SerialQueue sendQueue_{"com.zavel.ferrowin.video.tcp.send"};
  std::unique_ptr<common::TimerFactory> ownTimers_;
  common::TimerFactory& timers_;
  std::atomic<bool> running_{false};

  // Receive queue only.
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::shared_ptr<Connection> connection_;
  uint64_t nextConnectionId_ = 1;
  std::unique_ptr<common::RepeatingTimer> keepaliveTimer_;
  std::unique_ptr<VideoClientLiveness> liveness_;

  // Send queue only.
  std::unique_ptr<WriteSide> writeSide_;
  std::atomic<uint64_t> writeConnectionId_{0};

  // A message is its 20-byte header and its payload, kept apart so the payload is never copied.
  struct OutboundMessage {
    std::array<uint8_t, kMessageHeaderSize> header;
    Bytes payload;
    MessageKind kind;
    uint64_t pts;
  };
  std::mutex outboxLock_;  // guards the three below
  std::deque<OutboundMessage> outbound_;
  size_t outboundBytes_ = 0;  // queued or being written
  bool writerPosted_ = false;
};

}  // namespace ferrowin::video
