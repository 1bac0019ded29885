#pragma once
// The control service's network shell: a TLS listener on all IPv6 and IPv4 addresses and its
// connections, one request each. Everything here runs on the control queue; parsing is
// parseRequest's and answering is the request handler's.
//
// Limits the bare protocol leaves open: a TLS handshake must finish within `handshakeTimeout`, a
// request must be complete within `requestTimeout` of the handshake, the header block is capped
// (see parseRequest), and at most `maxConnections` connections are open at once, at most
// `maxConnectionsPerPeer` of them from one peer address.
//
// A full table does not lock newcomers out (a flood of half-open connections would otherwise
// refuse the real client): a peer at its share gives up its own stalest connection that has not
// been answered yet; when the whole table is full, the connection given up is the stalest
// unanswered one of a peer that is not authenticated, taken from the peer that holds the most
// connections, so a client with one or two connections keeps them while a flooding address loses
// its own. Authenticated peers lose a connection only when no other peer has one to give. A
// connection being answered is never closed early; when every one is, the newcomer is refused.

#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "common/util/expected.h"
#include "server/control/http_request.h"

namespace ferrowin::control {

struct ControlListenerLimits {
  double handshakeTimeout = 10.0;
  double requestTimeout = 15.0;
  double writeTimeout = 15.0;
  size_t maxConnections = 64;
  size_t maxConnectionsPerPeer = 16;
};

struct ControlListenerError {
  enum class Stage { create, listen };
  Stage stage = Stage::listen;
  std::string text;
  std::string description() const { return text; }
};

class ControlListener : public std::enable_shared_from_this<ControlListener> {
 public:
  /// Hands back the answer for a request; callable from any thread, once.
  using Respond = std::function<void(ControlHTTPResponse)>;
  /// Runs on the control queue for each complete request (its `peer` filled in).
  using RequestHandler = std::function<void(ControlHTTPRequest, Respond)>;
  /// Whether a peer address is authenticated; asked on the control queue when the table is full.
  using PeerTrust = std::function<bool(const std::string& peer)>;

  /// Binds and listens on `port` (0: any free port) of every address, then accepts on `queue`.
  /// May be called from any thread.
  [[nodiscard]] static Expected<std::shared_ptr<ControlListener>, ControlListenerError> open(
      asio::io_context& queue, uint16_t port, std::shared_ptr<asio::ssl::context> tls,
      ControlListenerLimits limits, RequestHandler handler, PeerTrust isTrusted = {});

  ~ControlListener();

  /// The port actually bound.
  uint16_t port() const { return port_; }
  /// Stops accepting and frees the port at once. Connections already accepted finish on their
  /// own. Call on the control queue.
  void cancel();
  /// Connections currently open.
  size_t connectionCount() const { return connections_->load(); }

 private:
  class Connection;
  struct Acceptor;
  ControlListener() = default;
  void accept();
  /// Makes room for a connection from `peer`; false when there is none to make.
  bool admit(const std::string& peer);

  std::unique_ptr<Acceptor> acceptor_;
  uint16_t port_ = 0;
  std::shared_ptr<asio::ssl::context> tls_;
  ControlListenerLimits limits_;
  RequestHandler handler_;
  PeerTrust isTrusted_;
  // Connections accepted, oldest first (control queue only); closed ones are dropped on the next
  // accept.
  std::list<std::weak_ptr<Connection>> table_;
  std::shared_ptr<std::atomic<size_t>> connections_ = std::make_shared<std::atomic<size_t>>(0);
};

}  // namespace ferrowin::control
