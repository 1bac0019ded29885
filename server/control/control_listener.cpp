#include "server/control/control_listener.h"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <map>
#include <optional>
#include <set>

#include "common/util/peer_address.h"

namespace ferrowin::control {

namespace {

constexpr size_t kReadChunk = 65536;
constexpr double kShutdownTimeout = 2.0;

std::chrono::steady_clock::duration seconds(double value) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(value));
}

}  // namespace

struct ControlListener::Acceptor {
  explicit Acceptor(asio::io_context& queue) : acceptor(queue), retry(queue) {}
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer retry;
};

class ControlListener::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> tls,
             const ControlListenerLimits& limits, RequestHandler handler,
             std::shared_ptr<std::atomic<size_t>> counter, std::string peer)
      : tls_(std::move(tls)),
        stream_(std::move(socket), *tls_),
        timer_(stream_.get_executor()),
        limits_(limits),
        handler_(std::move(handler)),
        counter_(std::move(counter)),
        peer_(std::move(peer)) {
    ++*counter_;
  }
  ~Connection() { --*counter_; }

  const std::string& peer() const { return peer_; }
  bool isOpen() const { return !closed_; }
  /// Not in the middle of being answered: may be closed to make room.
  bool isEvictable() const { return !closed_ && !answering_; }

  /// Closes the socket at once; pending work ends with an error.
  void close() {
    closed_ = true;
    timer_.cancel();
    std::error_code ignored;
    stream_.lowest_layer().close(ignored);
  }

  void start() {
    arm(limits_.handshakeTimeout);
    stream_.async_handshake(asio::ssl::stream_base::server,
                            [self = shared_from_this()](const std::error_code& error) {
                              if (error) return self->close();
                              self->arm(self->limits_.requestTimeout);
                              self->read();
                            });
  }

 private:
  // One deadline at a time: when it passes, the socket is closed and every pending operation
  // ends with an error.
  void arm(double timeout) {
    timer_.expires_after(seconds(timeout));
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
      if (error) return;
      if (auto self = weak.lock()) self->close();
    });
  }

  void read() {
    chunk_.resize(kReadChunk);
    stream_.async_read_some(
        asio::buffer(chunk_), [self = shared_from_this()](const std::error_code& error, size_t n) {
          // End of stream (or any error) before a complete request: nothing to answer.
          if (error) return self->close();
          self->buffer_.insert(self->buffer_.end(), self->chunk_.begin(),
                               self->chunk_.begin() + static_cast<ptrdiff_t>(n));
          self->parse();
        });
  }

  void parse() {
    auto parsed = parseRequest(buffer_);
    if (!parsed) return close();
    if (!*parsed) {
      // Requests that can never complete (bad head, oversized body) are left to the deadline,
      // but they may not grow the buffer without end.
      if (buffer_.size() > kMaxHeaderBytes + 4 + kMaxBodyBytes) return close();
      return read();
    }
    ControlHTTPRequest request = std::move(**parsed);
    request.peer = peer_;
    timer_.cancel();
    chunk_ = {};
    answering_ = true;
    // The answer holds the connection until it is written.
    handler_(std::move(request), [self = shared_from_this()](ControlHTTPResponse response) mutable {
      auto executor = self->stream_.get_executor();
      asio::post(executor, [self = std::move(self), response = std::move(response)]() mutable {
        self->write(std::move(response));
      });
    });
  }

  void write(ControlHTTPResponse response) {
    auto self = shared_from_this();
    out_ = serializeResponse(response);
    arm(limits_.writeTimeout);
    asio::async_write(stream_, asio::buffer(out_), [self](const std::error_code& error, size_t) {
      if (error) return self->close();
      self->answering_ = false;
      self->arm(kShutdownTimeout);
      self->stream_.async_shutdown([self](const std::error_code&) { self->close(); });
    });
  }

  std::shared_ptr<asio::ssl::context> tls_;
  asio::ssl::stream<asio::ip::tcp::socket> stream_;
  asio::steady_timer timer_;
  ControlListenerLimits limits_;
  RequestHandler handler_;
  std::shared_ptr<std::atomic<size_t>> counter_;
  std::string peer_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> chunk_;
  std::vector<uint8_t> out_;
  bool answering_ = false;
  bool closed_ = false;
};

Expected<std::shared_ptr<ControlListener>, ControlListenerError> ControlListener::open(
    asio::io_context& queue, uint16_t port, std::shared_ptr<asio::ssl::context> tls,
    ControlListenerLimits limits, RequestHandler handler, PeerTrust isTrusted) {
  std::shared_ptr<ControlListener> listener(new ControlListener());
  listener->acceptor_ = std::make_unique<Acceptor>(queue);
  auto& acceptor = listener->acceptor_->acceptor;
  std::error_code error;
  // One dual-stack socket serves IPv6 and IPv4 alike; a system without IPv6 gets IPv4 only.
  asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
  acceptor.open(endpoint.protocol(), error);
  if (!error) {
    acceptor.set_option(asio::ip::v6_only(false), error);
  } else {
    endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port);
    error.clear();
    acceptor.open(endpoint.protocol(), error);
  }
  if (error)
    return make_unexpected(
        ControlListenerError{ControlListenerError::Stage::create, error.message()});
  acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (!error) listener->port_ = acceptor.local_endpoint(error).port();
  if (error)
    return make_unexpected(
        ControlListenerError{ControlListenerError::Stage::listen, error.message()});

  listener->tls_ = std::move(tls);
  listener->limits_ = limits;
  listener->handler_ = std::move(handler);
  listener->isTrusted_ = std::move(isTrusted);
  asio::post(queue, [listener] { listener->accept(); });
  return listener;
}

ControlListener::~ControlListener() = default;

void ControlListener::cancel() {
  std::error_code ignored;
  acceptor_->acceptor.close(ignored);
  acceptor_->retry.cancel();
}

bool ControlListener::admit(const std::string& peer) {
  std::erase_if(table_, [](const std::weak_ptr<Connection>& weak) {
    auto connection = weak.lock();
    return !connection || !connection->isOpen();
  });
  std::map<std::string, size_t> perPeer;
  for (const auto& weak : table_) ++perPeer[weak.lock()->peer()];

  // Closes the oldest evictable connection among those `eligible` accepts.
  auto evictOldest = [&](auto eligible) {
    for (auto it = table_.begin(); it != table_.end(); ++it) {
      auto connection = it->lock();
      if (!connection->isEvictable() || !eligible(connection->peer())) continue;
      connection->close();
      table_.erase(it);
      return true;
    }
    return false;
  };

  if (perPeer[peer] >= limits_.maxConnectionsPerPeer)
    return evictOldest([&](const std::string& other) { return other == peer; });
  if (table_.size() < limits_.maxConnections) return true;

  // The table is full: the heaviest untrusted peer with something to give gives it, then the
  // heaviest trusted one.
  std::set<std::string> evictable;
  for (const auto& weak : table_) {
    auto connection = weak.lock();
    if (connection->isEvictable()) evictable.insert(connection->peer());
  }
  for (const bool trusted : {false, true}) {
    std::optional<std::string> heaviest;
    for (const auto& candidate : evictable) {
      if ((isTrusted_ && isTrusted_(candidate)) != trusted) continue;
      if (!heaviest || perPeer[candidate] > perPeer[*heaviest]) heaviest = candidate;
    }
    if (heaviest) return evictOldest([&](const std::string& other) { return other == *heaviest; });
  }
  return false;
}

void ControlListener::accept() {
  acceptor_->acceptor.async_accept([self = shared_from_this()](const std::error_code& error,
                                                               asio::ip::tcp::socket socket) {
    if (error == asio::error::operation_aborted || !self->acceptor_->acceptor.is_open()) return;
    if (error) {
      // Out of descriptors and the like: try again shortly rather than spin.
      self->acceptor_->retry.expires_after(std::chrono::milliseconds(100));
      self->acceptor_->retry.async_wait([self](const std::error_code& waited) {
        if (!waited) self->accept();
      });
      return;
    }
    std::error_code remoteError, ignored;
    const auto remote = socket.remote_endpoint(remoteError);
    const std::string peer = remoteError ? std::string() : common::peerAddressText(remote.address());
    if (!self->admit(peer)) {
      socket.close(ignored);
    } else {
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      auto connection = std::make_shared<Connection>(std::move(socket), self->tls_, self->limits_,
                                                     self->handler_, self->connections_, peer);
      self->table_.push_back(connection);
      connection->start();
    }
    self->accept();
  });
}

}  // namespace ferrowin::control
