#include "server/video/tcp_transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include <asio/read.hpp>

#include "common/util/log.h"
#include "common/util/peer_address.h"

namespace ferrowin::video {
namespace {

constexpr int kInteractiveVideoTos = 0x80;  // DSCP CS4

void setIntOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

std::shared_ptr<VideoTCPTransport> VideoTCPTransport::create(asio::io_context& main,
                                                             const common::Clock& clock,
                                                             common::TimerFactory* timers) {
  return ownTransport(new VideoTCPTransport(main, clock, timers));
}

VideoTCPTransport::VideoTCPTransport(asio::io_context& main, const common::Clock& clock,
                                     common::TimerFactory* timers)
    : TransportCommon(main, clock),
      ownTimers_(timers ? nullptr : std::make_unique<common::AsioTimerFactory>(queue_.executor())),
      timers_(timers ? *timers : *ownTimers_) {}

VideoTCPTransport::~VideoTCPTransport() {
  queue_.sync([this] {
    liveness_.reset();
    keepaliveTimer_.reset();
    closeConnection();
    acceptor_.reset();
  });
  sendQueue_.sync([this] { writeSide_.reset(); });
}

bool VideoTCPTransport::start(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
                              std::weak_ptr<VideoStreamStats> stats,
                              std::shared_ptr<VideoDiagnosticsGate> gate,
                              TransportCallbacks callbacks) {
  if (!beginSession(port, std::move(streamer), std::move(stats), std::move(gate),
                    std::move(callbacks))) {
    return false;
  }
  std::error_code error;
  bool created = false;
  queue_.sync([&] {
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(queue_.context());
    acceptor->open(asio::ip::tcp::v6(), error);
    asio::ip::tcp::endpoint local{asio::ip::tcp::v6(), port};
    if (!error) {
      acceptor->set_option(asio::ip::v6_only(false), error);
    } else {
      error.clear();
      acceptor->open(asio::ip::tcp::v4(), error);
      local = {asio::ip::tcp::v4(), port};
    }
    // Address reuse on a TCP listener only skips TIME_WAIT: it never lets two listen at once.
    if (!error) acceptor->set_option(asio::socket_base::reuse_address(true), error);
    if (error) return;
    created = true;
    acceptor->bind(local, error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error) return;
    acceptor_ = std::move(acceptor);
    acceptNext();
  });
  if (error) {
    statusNow((created ? "Listener failed: " : "Listen failed: ") + error.message());
    return false;
  }
  running_ = true;
  statusNow("Starting...");
  postStatus("Listening (TCP)");
  return true;
}

void VideoTCPTransport::stop() {
  std::optional<std::string> disconnected;
  queue_.sync([&] {
    if (connection_) disconnected = connection_->address;
    stopOnQueue();
  });
  sendQueue_.sync([this] {
    dropWriteSide();
    clearOutbox();
  });
  running_ = false;
  if (disconnected) reportPeerDisconnected(*disconnected);
  postClientChange(std::nullopt);
}

void VideoTCPTransport::stopOnQueue() {
  if (liveness_) liveness_->stop();
  if (keepaliveTimer_) keepaliveTimer_->stop();
  keepaliveTimer_.reset();
  closeConnection();
  if (acceptor_) acceptor_->close();
  acceptor_.reset();
}

uint16_t VideoTCPTransport::localPort() const {
  uint16_t port = 0;
  const_cast<common::SerialQueue&>(queue_).sync([&] {
    if (acceptor_) port = acceptor_->local_endpoint().port();
  });
  return port;
}

// ---- Receive queue ----

void VideoTCPTransport::acceptNext() {
  asio::ip::tcp::acceptor* acceptor = acceptor_.get();
  acceptor->async_accept([weak = weak_from_this(), acceptor](const std::error_code& error,
                                                             asio::ip::tcp::socket socket) {
    auto self = weak.lock();
    if (!self || self->acceptor_.get() != acceptor) return;
    if (!error) self->onAccepted(std::move(socket));
    if (error == asio::error::operation_aborted) return;
    self->acceptNext();
  });
}

void VideoTCPTransport::onAccepted(asio::ip::tcp::socket socket) {
  std::error_code error;
  const auto remote = socket.remote_endpoint(error);
  if (error) return;
  const std::string address = common::peerAddressText(remote.address());
  if (!isAllowed(address)) return;  // the socket closes as it goes
  const int fd = socket.native_handle();
  setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 5);
  setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
  setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 5);
  setIntOption(fd, IPPROTO_IP, IP_TOS, kInteractiveVideoTos);
  setIntOption(fd, IPPROTO_IPV6, IPV6_TCLASS, kInteractiveVideoTos);

  if (liveness_) liveness_->stop();
  if (connection_) holdUntilNewStream();
  closeConnection();
  postStreamerStop(false);

  auto connection = std::make_shared<Connection>(queue_.context());
  connection->id = nextConnectionId_++;
  connection->socket = std::move(socket);
  connection->address = address;
  connection->endpoint = common::endpointText(remote.address(), remote.port());
  connection_ = connection;

  // Writes go through a duplicate of the socket that lives on the send queue, so reading and
  // writing never share one Asio object across threads. What was queued for the connection before
  // is dropped; what is queued from now on goes to this one.
  clearOutbox();
  const int writeFd = ::dup(fd);
  sendQueue_.post([weak = weak_from_this(), id = connection->id, writeFd] {
        auto self = weak.lock();
        if (!self) {
          ::close(writeFd);
          return;
        }
        self->dropWriteSide();
        if (writeFd < 0) return;
        self->writeSide_ = std::make_unique<WriteSide>(id, writeFd);
        self->writeConnectionId_ = id;
        self->writeQueued();
      });

  postClientChange(connection->endpoint);
  readConfig(connection);
}

void VideoTCPTransport::readConfig(std::shared_ptr<Connection> connection) {
  connection->buffer.resize(16);
  asio::async_read(connection->socket, asio::buffer(connection->buffer),
                   [weak = weak_from_this(), connection](const std::error_code& error, size_t) {
                     auto self = weak.lock();
                     if (!self || self->connection_ != connection) return;
                     if (error) return self->endConnection(connection->id);
                     const size_t total = streamConfigMessageLength(connection->buffer[4]);
                     connection->buffer.resize(total);
                     asio::async_read(connection->socket,
                                      asio::buffer(connection->buffer.data() + 16, total - 16),
                                      [weak, connection](const std::error_code& rest, size_t) {
                                        auto self2 = weak.lock();
                                        if (!self2 || self2->connection_ != connection) return;
                                        if (rest) return self2->endConnection(connection->id);
                                        self2->onConfig(connection);
                                      });
                   });
}

void VideoTCPTransport::onConfig(const std::shared_ptr<Connection>& connection) {
  auto config = parseStreamConfigMessage(connection->buffer);
  if (!config) {
    postStatus("Bad config");
    return;
  }
  postCaptureStart(std::nullopt, *config);

  if (!liveness_) liveness_ = std::make_unique<VideoClientLiveness>(clock_, timers_);
  liveness_->start([weak = weak_from_this(), id = connection->id] {
    auto self = weak.lock();
    if (!self || !self->connection_ || self->connection_->id != id) return;
    common::serverLog("video")->info("Video client silent for {:g}s; stopping capture",
                                     VideoClientLiveness::kSilenceLimitSec);
    self->endConnection(id);
  });
  if (keepaliveTimer_) keepaliveTimer_->stop();
  keepaliveTimer_ = std::make_unique<common::RepeatingTimer>(
      clock_, timers_, [this] { queueMessage(MessageKind::keepalive, 0, 0, {}); });
  keepaliveTimer_->start();
  readFrame(connection);
}

void VideoTCPTransport::readFrame(std::shared_ptr<Connection> connection) {
  connection->buffer.resize(kMessageHeaderSize);
  asio::async_read(connection->socket, asio::buffer(connection->buffer),
                   [weak = weak_from_this(), connection](const std::error_code& error, size_t) {
                     auto self = weak.lock();
                     if (!self || self->connection_ != connection) return;
                     if (error) return self->endConnection(connection->id);
                     // A malformed frame only stops reading; the silence watch then ends the
                     // connection.
                     auto frame = parseClientFrameHeader(connection->buffer);
                     if (!frame) return;
                     const uint32_t length = *frame;
                     auto frameDone = [weak, connection](const std::error_code& rest, size_t) {
                       auto self2 = weak.lock();
                       if (!self2 || self2->connection_ != connection) return;
                       if (rest) return self2->endConnection(connection->id);
                       if (self2->liveness_) self2->liveness_->touch();
                       self2->readFrame(connection);
                     };
                     if (length == 0) return frameDone({}, 0);
                     connection->buffer.resize(length);
                     asio::async_read(connection->socket, asio::buffer(connection->buffer),
                                      frameDone);
                   });
}

void VideoTCPTransport::closeConnection() {
  if (!connection_) return;
  std::error_code ignored;
  connection_->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  connection_->socket.close(ignored);
  connection_.reset();
}

void VideoTCPTransport::endConnection(uint64_t id) {
  if (!connection_ || connection_->id != id) return;
  const std::string address = connection_->address;
  if (liveness_) liveness_->stop();
  if (keepaliveTimer_) keepaliveTimer_->stop();
  keepaliveTimer_.reset();
  closeConnection();
  sendQueue_.post([weak = weak_from_this(), id] {
    auto self = weak.lock();
    if (self && self->writeSide_ && self->writeSide_->id == id) self->dropWriteSide();
  });
  reportPeerDisconnected(address);
  postClientChange(std::nullopt);
  postStreamerStop(true);
}

// ---- Send queue ----

void VideoTCPTransport::queueMessage(MessageKind kind, uint8_t flags, uint64_t pts, Bytes payload) {
  if (payload.size() > 0xFFFFFFFFull) {
    common::serverLog("video")->error("Refusing to send a stream message of {} bytes",
                                      payload.size());
    return;
  }
  OutboundMessage message;
  VideoMessageHeader{static_cast<uint8_t>(kind), flags, static_cast<uint32_t>(payload.size()), pts}
      .encode(message.header.data());
  message.payload = std::move(payload);
  message.kind = kind;
  message.pts = pts;
  bool startWriter = false;
  size_t backlog = 0;
  {
    std::lock_guard guard(outboxLock_);
    outboundBytes_ += kMessageHeaderSize + message.payload.size();
    outbound_.push_back(std::move(message));
    backlog = outboundBytes_;
    if (backlog > kMaxOutboundBytes) {
      outbound_.clear();
      outboundBytes_ = 0;
    } else {
      startWriter = !writerPosted_;
      writerPosted_ = true;
    }
  }
  if (backlog > kMaxOutboundBytes) {
    common::serverLog("video")->error(
        "Video client is not reading: {} bytes queued; ending the connection", backlog);
    // Ending the connection shuts the socket down, which also ends a write blocked on it.
    queue_.post([weak = weak_from_this(), id = writeConnectionId_.load()] {
      if (auto self = weak.lock()) self->endConnection(id);
    });
    return;
  }
  if (startWriter) {
    sendQueue_.post([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->writeQueued();
    });
  }
}

void VideoTCPTransport::writeQueued() {
  // Everything queued goes out in one gathered write, strictly in order, and whatever arrives
  // meanwhile goes out in the next one. The writer waits for room in the socket right here rather
  // than through the event loop: one thread, no hand-offs, and a shut-down socket ends the wait.
  for (;;) {
    std::vector<OutboundMessage> batch;
    {
      std::lock_guard guard(outboxLock_);
      // Without a working connection the messages wait for the next one, which drops them.
      if (outbound_.empty() || !writeSide_ || writeSide_->failed) {
        writerPosted_ = false;
        return;
      }
      batch.assign(std::make_move_iterator(outbound_.begin()),
                   std::make_move_iterator(outbound_.end()));
      outbound_.clear();
    }
    size_t batchBytes = 0;
    std::vector<iovec> parts;
    parts.reserve(batch.size() * 2);
    for (OutboundMessage& message : batch) {
      parts.push_back({message.header.data(), message.header.size()});
      if (!message.payload.empty()) parts.push_back({message.payload.data(), message.payload.size()});
      batchBytes += message.header.size() + message.payload.size();
    }
    const double writeStart = clock_.now();
    const bool written = writeAll(writeSide_->fd, parts);
    const double writeEnd = clock_.now();
    {
      std::lock_guard guard(outboxLock_);
      outboundBytes_ -= std::min(outboundBytes_, batchBytes);
    }
    // A failed write leaves the disconnect to the connection's own failure, seen by the reader.
    if (!written) {
      writeSide_->failed = true;
      continue;
    }
    if (auto stats = currentStats()) {
      for (const OutboundMessage& message : batch) {
        if (message.kind == MessageKind::videoFrame) {
          stats->recordFrameSent(message.pts, writeStart, writeEnd);
        }
      }
      stats->raiseMaxOutboundDepth(static_cast<int64_t>(batch.size()) - 1);
      if (diagnosticsOn()) stats->logIfDue(clock_.now());
    }
  }
}

bool VideoTCPTransport::writeAll(int fd, std::vector<iovec>& parts) {
  size_t first = 0;
  while (first < parts.size()) {
    msghdr header{};
    header.msg_iov = parts.data() + first;
    header.msg_iovlen = std::min<size_t>(parts.size() - first, IOV_MAX);
    const ssize_t sent = ::sendmsg(fd, &header, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      pollfd room{fd, POLLOUT, 0};
      if (::poll(&room, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    // Skip what went out; the first part left may have gone out in part.
    auto left = static_cast<size_t>(sent);
    while (first < parts.size() && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (left > 0) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

void VideoTCPTransport::dropWriteSide() {
  writeSide_.reset();
  writeConnectionId_ = 0;
}

void VideoTCPTransport::clearOutbox() {
  std::lock_guard guard(outboxLock_);
  outbound_.clear();
  outboundBytes_ = 0;
}

}  // namespace ferrowin::video
