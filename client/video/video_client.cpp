#include "client/video/video_client.h"

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>

#include "common/runtime/clock.h"
#include "protocol/wire.h"

namespace ferrowin::client {

using namespace video;
using namespace std::chrono_literals;

namespace {

double now() { return common::SteadyClock::instance().now(); }

// A host may announce any length; the client will not hold more than this for one message.
constexpr uint32_t kMaxTcpMessage = 256 * 1024 * 1024;

}  // namespace

// ---- MessageSink ----

void MessageSink::push(std::vector<ReceivedMessage> messages) {
  if (messages.empty()) return;
  {
    std::lock_guard lock(mutex_);
    total_ += messages.size();
    for (auto& m : messages) messages_.push_back(std::move(m));
  }
  changed_.notify_all();
}

std::vector<ReceivedMessage> MessageSink::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(messages_, {});
}

bool MessageSink::waitForTotal(size_t count, double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return total_ >= count; });
}

size_t MessageSink::total() {
  std::lock_guard lock(mutex_);
  return total_;
}

// ---- ProbeReport ----

double ProbeReport::receivedMbps(size_t step) const {
  if (step >= steps.size() || steps[step].datagrams < 2) return 0;
  const ProbeStep& s = steps[step];
  const double span = s.lastArrival - s.firstArrival;
  if (span <= 0) return 0;
  return static_cast<double>(s.datagrams - 1) * kMaxDatagramSize * 8 / span / 1e6;
}

double ProbeReport::loss(size_t step) const {
  if (step >= steps.size() || steps[step].datagrams == 0) return 1;
  const ProbeStep& s = steps[step];
  const double expected = static_cast<double>(s.maxSequence - s.minSequence + 1);
  return 1.0 - static_cast<double>(s.datagrams) / expected;
}

double ProbeReport::usableMbps() const {
  double best = 0;
  for (size_t step = 0; step < steps.size(); ++step) {
    if (steps[step].datagrams > 0 && loss(step) < 0.02) best = 10.0 * static_cast<double>(step + 1);
  }
  return best;
}

// ---- UdpVideoClient ----

UdpVideoClient::UdpVideoClient(VideoClientOptions options)
    : options_(std::move(options)), random_(options_.dropSeed), core_(options_.receiver) {}

UdpVideoClient::~UdpVideoClient() { stop(); }

Expected<void, std::string> UdpVideoClient::open() {
  std::error_code error;
  // Host names resolve like the control connection's: the first address the resolver gives.
  asio::ip::udp::resolver resolver(context_);
  const auto found = resolver.resolve(options_.host, std::to_string(options_.port), error);
  if (error || found.empty())
    return make_unexpected("cannot resolve " + options_.host + ": " + error.message());
  host_ = found.begin()->endpoint();
  socket_.open(host_.protocol(), error);
  if (error) return make_unexpected("cannot open a UDP socket: " + error.message());
  socket_.set_option(asio::socket_base::receive_buffer_size(8 * 1024 * 1024), error);
  receiveNext();
  scheduleEcho();
  schedulePoll();
  return {};
}

Expected<void, std::string> UdpVideoClient::start() {
  auto opened = open();
  if (!opened) return opened;
  scheduleHello();
  thread_ = std::thread([this] { context_.run(); });
  return {};
}

Expected<void, std::string> UdpVideoClient::startProbe() {
  auto opened = open();
  if (!opened) return opened;
  send(buildSingleDatagram(PacketType::probeRequest, 0, {}));
  thread_ = std::thread([this] { context_.run(); });
  return {};
}

void UdpVideoClient::stop() {
  context_.stop();
  if (thread_.joinable()) thread_.join();
}

void UdpVideoClient::send(const Bytes& datagram) {
  std::error_code ignored;
  socket_.send_to(asio::buffer(datagram), host_, 0, ignored);
}

void UdpVideoClient::scheduleHello() {
  bool done;
  {
    std::lock_guard lock(mutex_);
    done = acknowledged_;
  }
  if (done) return;
  send(buildSingleDatagram(PacketType::hello, nextOwnSequence_++,
                           encodeStreamConfigMessage(options_.config, options_.configVersion)));
  helloTimer_.expires_after(200ms);
  helloTimer_.async_wait([this](const std::error_code& error) {
    if (!error) scheduleHello();
  });
}

void UdpVideoClient::scheduleEcho() {
  uint8_t stamp[8];
  putU64(stamp, static_cast<uint64_t>(common::toMicros(now())));
  send(buildSingleDatagram(PacketType::echoRequest, nextOwnSequence_++, ByteView(stamp, 8)));
  echoTimer_.expires_after(1s);
  echoTimer_.async_wait([this](const std::error_code& error) {
    if (!error) scheduleEcho();
  });
}

void UdpVideoClient::schedulePoll() {
  std::vector<std::vector<uint32_t>> requests;
  {
    std::lock_guard lock(mutex_);
    core_.poll(now());
    requests = core_.dueRetransmissions(now());
    sink_.push(core_.takeDelivered());
  }
  for (const auto& sequences : requests) {
    send(buildSingleDatagram(PacketType::retransmitRequest, nextOwnSequence_++,
                             encodeRetransmitRequest(sequences)));
  }
  pollTimer_.expires_after(5ms);
  pollTimer_.async_wait([this](const std::error_code& error) {
    if (!error) schedulePoll();
  });
}

void UdpVideoClient::receiveNext() {
  socket_.async_receive_from(asio::buffer(buffer_), from_,
                             [this](const std::error_code& error, size_t length) {
                               if (error == asio::error::operation_aborted) return;
                               if (!error && from_ == host_) {
                                 onDatagram(ByteView(buffer_.data(), length));
                               }
                               receiveNext();
                             });
}

void UdpVideoClient::onDatagram(ByteView bytes) {
  auto parsed = parseDatagram(bytes);
  std::lock_guard lock(mutex_);
  lastHeard_ = now();
  if (!parsed) {
    ++unexpected_;
    return;
  }
  const VGVideoDatagramHeader& header = parsed->header;
  if (options_.dropFilter && options_.dropFilter(header)) return;
  if (options_.dropProbability > 0 &&
      std::uniform_real_distribution<double>(0, 1)(random_) < options_.dropProbability) {
    return;
  }
  const double t = now();
  switch (static_cast<PacketType>(header.packetType)) {
    case PacketType::helloAck:
      acknowledged_ = true;
      break;
    case PacketType::echoReply:
      if (parsed->payload.size() == 8) {
        roundTrip_ = t - common::fromMicros(static_cast<int64_t>(getU64(parsed->payload.data())));
        core_.setRoundTrip(roundTrip_);
      }
      break;
    case PacketType::probe: {
      auto probe = parseProbePayload(parsed->payload);
      if (!probe || probe->step >= 5) break;
      if (probe_.steps.size() <= probe->step) probe_.steps.resize(probe->step + 1);
      ProbeStep& step = probe_.steps[probe->step];
      if (step.datagrams == 0) {
        step.firstArrival = t;
        step.minSequence = step.maxSequence = probe->sequence;
      }
      ++step.datagrams;
      step.lastArrival = t;
      step.minSequence = std::min(step.minSequence, probe->sequence);
      step.maxSequence = std::max(step.maxSequence, probe->sequence);
      break;
    }
    case PacketType::fragment:
    case PacketType::fecParity:
    case PacketType::keepalive:
      core_.onDatagram(bytes, t);
      sink_.push(core_.takeDelivered());
      break;
    default:
      ++unexpected_;
  }
}

ReceiverCounters UdpVideoClient::counters() {
  std::lock_guard lock(mutex_);
  return core_.counters();
}

bool UdpVideoClient::acknowledged() {
  std::lock_guard lock(mutex_);
  return acknowledged_;
}

double UdpVideoClient::roundTrip() {
  std::lock_guard lock(mutex_);
  return roundTrip_;
}

ProbeReport UdpVideoClient::probeReport() {
  std::lock_guard lock(mutex_);
  return probe_;
}

uint64_t UdpVideoClient::unexpectedDatagrams() {
  std::lock_guard lock(mutex_);
  return unexpected_;
}

std::optional<double> UdpVideoClient::lastHeard() {
  std::lock_guard lock(mutex_);
  return lastHeard_;
}

// ---- TcpVideoClient ----

TcpVideoClient::TcpVideoClient(VideoClientOptions options) : options_(std::move(options)) {}

TcpVideoClient::~TcpVideoClient() { stop(); }

Expected<void, std::string> TcpVideoClient::start() {
  std::error_code error;
  asio::ip::tcp::resolver resolver(context_);
  const auto found = resolver.resolve(options_.host, std::to_string(options_.port), error);
  if (error || found.empty())
    return make_unexpected("cannot resolve " + options_.host + ": " + error.message());
  asio::connect(socket_, found, error);
  if (error)
    return make_unexpected("cannot connect to " + options_.host + " port " +
                           std::to_string(options_.port) + ": " + error.message());
  socket_.set_option(asio::ip::tcp::no_delay(true), error);
  asio::write(socket_,
              asio::buffer(encodeStreamConfigMessage(options_.config, options_.configVersion)),
              error);
  if (error) return make_unexpected("cannot send the configuration: " + error.message());
  readHeader();
  keepaliveTimer_.expires_after(1s);
  keepaliveTimer_.async_wait([this](const std::error_code& e) {
    if (!e) scheduleKeepalive();
  });
  thread_ = std::thread([this] { context_.run(); });
  return {};
}

void TcpVideoClient::stop() {
  context_.stop();
  if (thread_.joinable()) thread_.join();
  // Leaving means closing: the host ends the session as soon as it sees the connection go.
  std::error_code ignored;
  socket_.close(ignored);
}

void TcpVideoClient::scheduleKeepalive() {
  auto frame = std::make_shared<Bytes>(frameMessage(MessageKind::keepalive, 0, 0, {}));
  asio::async_write(socket_, asio::buffer(*frame), [frame](const std::error_code&, size_t) {});
  keepaliveTimer_.expires_after(1s);
  keepaliveTimer_.async_wait([this](const std::error_code& e) {
    if (!e) scheduleKeepalive();
  });
}

void TcpVideoClient::readHeader() {
  asio::async_read(socket_, asio::buffer(header_), [this](const std::error_code& error, size_t) {
    auto header = parseMessageHeader(header_);
    if (error || !header || header->length > kMaxTcpMessage) {
      std::lock_guard lock(mutex_);
      counters_.closed = true;
      return;
    }
    payload_.resize(header->length);
    asio::async_read(socket_, asio::buffer(payload_),
                     [this, h = *header](const std::error_code& rest, size_t) {
                       std::vector<ReceivedMessage> delivered;
                       {
                         std::lock_guard lock(mutex_);
                         if (rest) {
                           counters_.closed = true;
                           return;
                         }
                         if (h.kind == static_cast<uint8_t>(MessageKind::keepalive)) {
                           ++counters_.keepalives;
                         } else {
                           ++counters_.messages;
                           counters_.payloadBytes += payload_.size();
                           if (h.kind == static_cast<uint8_t>(MessageKind::videoFrame)) {
                             ++counters_.frames;
                             if (h.flags & kKeyframeFlag) ++counters_.keyframes;
                           }
                           delivered.push_back({static_cast<MessageKind>(h.kind), h.flags, h.pts,
                                                0, std::move(payload_)});
                         }
                       }
                       sink_.push(std::move(delivered));
                       readHeader();
                     });
  });
}

TcpCounters TcpVideoClient::counters() {
  std::lock_guard lock(mutex_);
  return counters_;
}

}  // namespace ferrowin::client
