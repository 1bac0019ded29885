#include "server/video/udp_transport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include <asio/post.hpp>

#include "common/util/log.h"
#include "common/util/peer_address.h"

namespace ferrowin::video {
namespace {

// Remembered so that datagrams still arriving from a replaced flow do not take the stream back;
// only a valid hello from one makes it the current flow again.
constexpr size_t kReplacedFlowMemory = 16;

bool isValidHello(ByteView bytes) {
  auto parsed = parseDatagram(bytes);
  return parsed && parsed->header.packetType == static_cast<uint8_t>(PacketType::hello) &&
         parseStreamConfigMessage(parsed->payload).has_value();
}

// How a client starts again from a new socket: a valid hello, or a probe request before its hello.
bool startsSession(ByteView bytes) {
  auto parsed = parseDatagram(bytes);
  return parsed && (parsed->header.packetType == static_cast<uint8_t>(PacketType::probeRequest) ||
                    isValidHello(bytes));
}
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
constexpr int kInteractiveVideoTos = 0x80;  // DSCP CS4

}  // namespace

std::shared_ptr<VideoUDPTransport> VideoUDPTransport::create(asio::io_context& main,
                                                             const common::Clock& clock,
                                                             common::TimerFactory* timers) {
  return ownTransport(new VideoUDPTransport(main, clock, timers));
}

VideoUDPTransport::VideoUDPTransport(asio::io_context& main, const common::Clock& clock,
                                     common::TimerFactory* timers)
    : TransportCommon(main, clock),
      ownTimers_(timers ? nullptr : std::make_unique<common::AsioTimerFactory>(queue_.executor())),
      timers_(timers ? *timers : *ownTimers_) {}

VideoUDPTransport::~VideoUDPTransport() {
  // Nothing may run on the queues once the members they touch are gone.
  std::unique_ptr<NetworkProbeSender> probe;
  queue_.sync([&] {
    liveness_.reset();
    keepaliveTimer_.reset();
    probe = std::move(probeSender_);
    if (socket_) socket_->close();
    socket_.reset();
  });
  // Outside the queue: the last reference may have been the probe thread's own, and that thread
  // must not wait for the queue while the queue waits for it.
  probe.reset();
}

bool VideoUDPTransport::start(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
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
    auto socket = std::make_unique<asio::ip::udp::socket>(queue_.context());
    // One dual-stack socket when IPv6 exists, plain IPv4 otherwise. No address reuse: it would
    // let a second host bind the same port beside this one and take its clients' datagrams.
    asio::ip::udp::endpoint local{asio::ip::udp::v6(), port};
    socket->open(asio::ip::udp::v6(), error);
    if (!error) {
      socket->set_option(asio::ip::v6_only(false), error);
    } else {
      error.clear();
      socket->open(asio::ip::udp::v4(), error);
      local = {asio::ip::udp::v4(), port};
    }
    if (error) return;
    created = true;
    socket->bind(local, error);
    if (error) return;
    const int fd = socket->native_handle();
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    setsockopt(fd, IPPROTO_IP, IP_TOS, &kInteractiveVideoTos, sizeof kInteractiveVideoTos);
    setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &kInteractiveVideoTos, sizeof kInteractiveVideoTos);
    {
      std::lock_guard guard(socketLock_);
      socketFd_ = fd;
    }
    socket_ = std::move(socket);
    receiveNext();
  });
  if (error) {
    // A socket that cannot be made is a listener that cannot be created; one that cannot bind
    // (the port is taken) is a listener that failed.
    statusNow((created ? "UDP listener failed: " : "UDP listen failed: ") + error.message());
    return false;
  }
  running_ = true;
  statusNow("Starting...");
  postStatus("Listening (" + std::string(transportModeLabel(mode_)) + ")");
  return true;
}

void VideoUDPTransport::stop() {
  std::optional<std::string> disconnected;
  queue_.sync([&] {
    if (client_) disconnected = common::peerAddressText(client_->remote.address());
    stopOnQueue();
  });
  replayBuffer_.clear();
  fecSender_.reset();
  nextSequence_ = 1;
  nextFrameId_ = 1;
  running_ = false;
  if (disconnected) reportPeerDisconnected(*disconnected);
  postClientChange(std::nullopt);
}

void VideoUDPTransport::stopOnQueue() {
  if (liveness_) liveness_->stop();
  if (keepaliveTimer_) keepaliveTimer_->stop();
  keepaliveTimer_.reset();
  stopProbe();
  client_.reset();
  replacedFlows_.clear();
  {
    std::lock_guard guard(socketLock_);
    socketFd_ = -1;
    remote_.reset();
  }
  if (socket_) socket_->close();
  socket_.reset();
}

uint16_t VideoUDPTransport::localPort() const {
  uint16_t port = 0;
  const_cast<common::SerialQueue&>(queue_).sync([&] {
    if (socket_) port = socket_->local_endpoint().port();
  });
  return port;
}

// ---- Receive queue ----

void VideoUDPTransport::receiveNext() {
  // Waits until the socket is readable, then reads everything waiting in batches.
  asio::ip::udp::socket* socket = socket_.get();
  socket->async_wait(
      asio::socket_base::wait_read, [weak = weak_from_this(), socket](const std::error_code& error) {
        auto self = weak.lock();
        if (!self || self->socket_.get() != socket || error == asio::error::operation_aborted) {
          return;
        }
        if (!error) {
          self->reader_.drain(*socket, [&](const asio::ip::udp::endpoint& from, ByteView bytes) {
            self->onDatagram(from, bytes);
          });
        }
        if (self->socket_.get() == socket) self->receiveNext();
      });
}

bool VideoUDPTransport::acceptFlow(const asio::ip::udp::endpoint& from, ByteView bytes) {
  const auto replaced = std::find(replacedFlows_.begin(), replacedFlows_.end(), from);
  if (replaced != replacedFlows_.end() && !isValidHello(bytes)) return false;
  // While a client streams, anything else from a new port of an allowed address (a stray
  // datagram, or a flood with the client's address as its source) would take the stream from it.
  // These checks need no lookup, so they come before the allowlist.
  if (client_ && !startsSession(bytes)) return false;
  if (!isAllowed(common::peerAddressText(from.address()))) return false;
  if (replaced != replacedFlows_.end()) replacedFlows_.erase(replaced);
  if (liveness_) liveness_->stop();
  stopProbe();
  if (client_) {
    holdUntilNewStream();
    replacedFlows_.push_back(client_->remote);
    if (replacedFlows_.size() > kReplacedFlowMemory) replacedFlows_.pop_front();
  }
  client_ = Flow{from, nextFlowId_++};
  {
    std::lock_guard guard(socketLock_);
    remote_ = from;
  }
  postClientChange(common::endpointText(from.address(), from.port()));
  return true;
}

void VideoUDPTransport::onDatagram(const asio::ip::udp::endpoint& from, ByteView bytes) {
  if (!client_ || client_->remote != from) {
    if (!acceptFlow(from, bytes)) return;
  }
  auto parsed = parseDatagram(bytes);
  if (!parsed) return;
  if (!liveness_) liveness_ = std::make_unique<VideoClientLiveness>(clock_, timers_);
  liveness_->touch();
  const VGVideoDatagramHeader& header = parsed->header;
  switch (static_cast<PacketType>(header.packetType)) {
    case PacketType::hello:
      handleHello(header, parsed->payload);
      break;
    case PacketType::retransmitRequest:
      handleRetransmitRequest(parsed->payload);
      break;
    case PacketType::probeRequest:
      handleProbeRequest();
      break;
    case PacketType::echoRequest:
      if (parsed->payload.size() >= 8) {
        sendTo(
            buildSingleDatagram(PacketType::echoReply, header.sequence, parsed->payload.first(8)));
      }
      break;
    default:
      break;
  }
}

void VideoUDPTransport::handleHello(const VGVideoDatagramHeader& header, ByteView payload) {
  stopProbe();
  auto config = parseStreamConfigMessage(payload);
  if (!config) return;
  const Flow flow = *client_;
  postCaptureStart(common::endpointText(flow.remote.address(), flow.remote.port()), *config);

  const uint8_t ack = 0;
  sendTo(buildSingleDatagram(PacketType::helloAck, header.sequence, ByteView(&ack, 1)));
  liveness_->start([weak = weak_from_this(), flowId = flow.id] {
    if (auto self = weak.lock()) {
      if (!self->client_ || self->client_->id != flowId) return;
      common::serverLog("video")->info("Video client silent for {:g}s; stopping capture",
                                       VideoClientLiveness::kSilenceLimitSec);
      self->endFlow(flowId);
    }
  });
  startKeepalive();
}

void VideoUDPTransport::handleRetransmitRequest(ByteView payload) {
  if (mode_ != VideoTransportMode::udpArq) return;
  auto sequences = parseRetransmitRequest(payload);
  if (!sequences) return;
  const auto stats = currentStats();
  for (uint32_t sequence : *sequences) {
    auto datagram = replayBuffer_.lookup(sequence);
    if (!datagram) continue;
    sendTo(*datagram);
    if (stats) stats->recordRetransmission();
  }
}

void VideoUDPTransport::handleProbeRequest() {
  if (probeSender_) return;
  postStreamerStop(false);
  uint64_t token;
  {
    std::lock_guard guard(probeTokenLock_);
    token = ++probeToken_;
  }
  // At most 48 probe datagrams in flight; a changed token ends the run within one 50 ms slice.
  auto permits = std::make_shared<std::counting_semaphore<48>>(48);
  auto send = [weak = weak_from_this(), token, permits, to = client_->remote](ByteView datagram) {
    auto self = weak.lock();
    if (!self) return false;
    auto current = [&] {
      std::lock_guard guard(self->probeTokenLock_);
      return self->probeToken_ == token;
    };
    if (!current()) return false;
    while (!permits->try_acquire_for(std::chrono::milliseconds(50))) {
      if (!current()) return false;
    }
    if (!current()) {
      permits->release();
      return false;
    }
    self->sendTo(datagram, to);
    permits->release();  // the send has completed: it is a synchronous datagram send
    return true;
  };
  probeSender_ = std::make_unique<NetworkProbeSender>();
  probeSender_->start(std::move(send));
}

void VideoUDPTransport::stopProbe() {
  {
    std::lock_guard guard(probeTokenLock_);
    ++probeToken_;
  }
  if (probeSender_) probeSender_->cancel();
  probeSender_.reset();
}

void VideoUDPTransport::startKeepalive() {
  if (keepaliveTimer_) keepaliveTimer_->stop();
  keepaliveTimer_ = std::make_unique<common::RepeatingTimer>(clock_, timers_, [this] {
    if (!client_) return;
    sendTo(buildSingleDatagram(PacketType::keepalive, nextSequence_.fetch_add(1), {}));
  });
  keepaliveTimer_->start();
}

void VideoUDPTransport::endFlow(uint64_t flowId) {
  if (!client_ || client_->id != flowId) return;
  const std::string address = common::peerAddressText(client_->remote.address());
  if (liveness_) liveness_->stop();
  if (keepaliveTimer_) keepaliveTimer_->stop();
  stopProbe();
  client_.reset();
  {
    std::lock_guard guard(socketLock_);
    remote_.reset();
  }
  reportPeerDisconnected(address);
  postStreamerStop(true);
  postClientChange(std::nullopt);
}

// ---- Send queue ----

void VideoUDPTransport::queueMessage(MessageKind kind, uint8_t flags, uint64_t pts, Bytes payload) {
  sendQueue_.post([weak = weak_from_this(), kind, flags, pts, payload = std::move(payload)] {
    if (auto self = weak.lock()) self->sendMessage(kind, flags, pts, payload);
  });
}

void VideoUDPTransport::sendMessage(MessageKind kind, uint8_t flags, uint64_t pts,
                                    const Bytes& payload) {
  const size_t total = kMessageHeaderSize + payload.size();
  if (total > kMaxFragmentedMessageSize) {
    common::serverLog("video")->error(
        "Refusing to send a stream message of {} bytes: it needs more than 65535 fragments", total);
    return;
  }
  std::array<uint8_t, kMessageHeaderSize> messageHeader;
  VideoMessageHeader{static_cast<uint8_t>(kind), flags, static_cast<uint32_t>(payload.size()), pts}
      .encode(messageHeader.data());
  const size_t count =
      total <= kMaxFragmentPayload ? 1 : (total + kMaxFragmentPayload - 1) / kMaxFragmentPayload;
  const uint32_t frameId = nextFrameId_.fetch_add(1);
  const uint32_t first = nextSequence_.fetch_add(static_cast<uint32_t>(count));
  const VideoTransportMode mode = mode_;

  // Every fragment datagram is built in place in one buffer that keeps its capacity from frame to
  // frame; the message (its header, then the payload) is cut into 1200-byte slices on the way.
  frameDatagrams_.resize(count * kMaxDatagramSize);
  std::vector<ByteView> datagrams;
  std::vector<Bytes> parity;
  datagrams.reserve(count + count / kFecDataShards * kFecParityShards + kFecParityShards);
  for (size_t i = 0; i < count; ++i) {
    const size_t begin = i * kMaxFragmentPayload;
    const size_t end = std::min(total, begin + kMaxFragmentPayload);
    uint8_t* datagram = frameDatagrams_.data() + i * kMaxDatagramSize;
    uint8_t* slice = datagram + kDatagramHeaderSize;
    for (size_t at = begin; at < end;) {
      if (at < kMessageHeaderSize) {
        const size_t n = std::min(end, kMessageHeaderSize) - at;
        std::memcpy(slice, messageHeader.data() + at, n);
        slice += n;
        at += n;
      } else {
        std::memcpy(slice, payload.data() + (at - kMessageHeaderSize), end - at);
        at = end;
      }
    }
    VGVideoDatagramHeader header;
    header.packetType = static_cast<uint8_t>(PacketType::fragment);
    header.sequence = first + static_cast<uint32_t>(i);
    header.frameId = frameId;
    header.fragIndex = static_cast<uint16_t>(i);
    header.fragCount = static_cast<uint16_t>(count);
    header.flags = i == 0 ? flags : 0;
    header.pts = i == 0 ? pts : 0;
    header.payloadLength = static_cast<uint16_t>(end - begin);
    const ByteView sliceView(datagram + kDatagramHeaderSize, end - begin);
    std::vector<Bytes> blockParity;
    if (mode == VideoTransportMode::udpFec) blockParity = fecSender_.add(header, sliceView);
    header.encode(datagram);
    const ByteView complete(datagram, kDatagramHeaderSize + (end - begin));
    if (mode == VideoTransportMode::udpArq) {
      replayBuffer_.store(header.sequence, Bytes(complete.begin(), complete.end()), clock_.now());
    }
    datagrams.push_back(complete);
    for (Bytes& p : blockParity) {
      parity.push_back(std::move(p));
      datagrams.emplace_back(parity.back());
    }
  }
  if (kind != MessageKind::videoFrame) return sendBatch(datagrams);
  const double sendStart = clock_.now();
  sendBatch(datagrams);
  if (auto stats = currentStats()) stats->recordFrameSent(pts, sendStart, clock_.now());
}

void VideoUDPTransport::sendBatch(const std::vector<ByteView>& datagrams) {
  std::vector<iovec> parts(datagrams.size());
  std::vector<mmsghdr> messages(datagrams.size());
  std::lock_guard guard(socketLock_);
  if (socketFd_ < 0 || !remote_) return;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    parts[i] = {const_cast<uint8_t*>(datagrams[i].data()), datagrams[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = remote_->data();
    messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(remote_->size());
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (size_t next = 0; next < messages.size();) {
    const int sent = ::sendmmsg(socketFd_, messages.data() + next,
                                static_cast<unsigned>(messages.size() - next), MSG_DONTWAIT);
    if (sent > 0) {
      next += static_cast<size_t>(sent);
    } else if (sent == 0 || errno != EINTR) {
      ++next;  // the first datagram did not go (a full buffer or an error): drop it, send the rest
    }
  }
}

bool VideoUDPTransport::sendTo(ByteView datagram,
                               const std::optional<asio::ip::udp::endpoint>& to) {
  std::lock_guard guard(socketLock_);
  const auto& target = to ? to : remote_;
  if (socketFd_ < 0 || !target) return false;
  // The socket is non-blocking: a full send buffer drops the datagram rather than stall the stream
  // (FEC or a retransmission repairs it).
  const ssize_t sent = ::sendto(socketFd_, datagram.data(), datagram.size(), MSG_DONTWAIT,
                                target->data(), static_cast<socklen_t>(target->size()));
  return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace ferrowin::video
