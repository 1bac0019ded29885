#include "server/control/control_server.h"

#include <cstdio>

#include "common/runtime/flow.h"
#include "common/util/log.h"
#include "common/util/random.h"
#include "server/control/responses.h"

namespace ferrowin::control {

namespace {

asio::awaitable<void> answer(std::shared_ptr<ControlServer> server, ControlHTTPRequest request,
                             ControlListener::Respond respond) {
  ControlHTTPResponse response;
  try {
    response = co_await server->route(std::move(request));
  } catch (const std::exception& error) {
    response = errorResponse(500, error.what());
  }
  respond(std::move(response));
}

}  // namespace

std::shared_ptr<ControlServer> ControlServer::create(Dependencies dependencies) {
  return std::shared_ptr<ControlServer>(new ControlServer(std::move(dependencies)));
}

ControlServer::ControlServer(Dependencies dependencies)
    : isRunning(dependencies.main->context(), false),
      statusMessage(dependencies.main->context(), "Idle"),
      pairingCode(dependencies.main->context(), ""),
      isBonjourAdvertised(dependencies.main->context(), false),
      deps_(std::move(dependencies)),
      peers_(std::make_shared<AuthenticatedPeers>(deps_.dataDirectory, *deps_.clock)),
      serverId_(deps_.dataDirectory) {}

ControlServer::~ControlServer() { dropListener(); }

void ControlServer::start() {
  stop();
  newPairingCode();
  advertiseBonjour_ = true;
  isBonjourAdvertised.set(false);
  openListener();
  // A code nobody can use (nothing listens) would only mislead.
  if (isRunning.get()) announcePairingCode();
}

void ControlServer::stop() {
  dropListener();
  isRunning.set(false);
  isBonjourAdvertised.set(false);
  statusMessage.set("Idle");
}

void ControlServer::retryBonjour() {
  if (!isRunning.get()) return start();
  advertiseBonjour_ = true;
  isBonjourAdvertised.set(false);
  dropListener();
  openListener();
}

uint16_t ControlServer::listeningPort() const { return listener_ ? listener_->port() : 0; }

size_t ControlServer::connectionCount() const {
  return listener_ ? listener_->connectionCount() : 0;
}

void ControlServer::newPairingCode() {
  char code[8];
  std::snprintf(code, sizeof code, "%06u", common::secureRandomBelow(1000000));
  pairingCode.set(code);
  wrongCodes_ = 0;
}

void ControlServer::announcePairingCode() {
  // No window shows the code, so the log does.
  common::serverLog("auth")->info("Pairing code: {}", pairingCode.get());
}

void ControlServer::openListener() {
  auto identity = loadOrCreateIdentity(deps_.dataDirectory / "control-tls");
  auto context = identity.and_then(makeServerContext);
  if (!context) {
    statusMessage.set("TLS identity failed: " + context.error().description());
    return;
  }
  tlsIdentity_ = std::move(*identity);

  auto handler = [weak = weak_from_this(), main = deps_.main](ControlHTTPRequest request,
                                                              ControlListener::Respond respond) {
    main->post([weak, main, request = std::move(request), respond = std::move(respond)]() mutable {
      auto server = weak.lock();
      if (!server) return respond(errorResponse(404, "not found"));
      common::spawn(main->executor(),
                    answer(std::move(server), std::move(request), std::move(respond)));
    });
  };
  auto isTrusted = [peers = peers_](const std::string& peer) {
    return peers->isAuthenticated(peer);
  };
  auto listener = ControlListener::open(queue_.context(), port, std::move(*context), deps_.limits,
                                        handler, isTrusted);
  if (!listener) {
    if (listener.error().stage == ControlListenerError::Stage::create) {
      statusMessage.set("Listen failed: " + listener.error().description());
    } else {
      listenerFailed(listener.error().description());
    }
    return;
  }

  const uint64_t generation = ++listenerGeneration_;
  if (advertiseBonjour_ && deps_.bonjour) {
    bonjourRegistration_ = deps_.bonjour->advertise(
        kBonjourServiceType, (*listener)->port(),
        [weak = weak_from_this(), main = deps_.main, generation](platform::BonjourEvent event) {
          main->post([weak, generation, event = std::move(event)] {
            if (auto server = weak.lock()) server->bonjourEvent(generation, event);
          });
        });
  }
  listener_ = std::move(*listener);
  isRunning.set(true);
  statusMessage.set("Starting...");
  // The socket is already listening: it is ready as soon as the main executor gets here.
  deps_.main->post([weak = weak_from_this(), generation] {
    auto server = weak.lock();
    if (!server || generation != server->listenerGeneration_ || !server->listener_) return;
    server->isRunning.set(true);
    server->recomputeStatus();
  });
}

void ControlServer::dropListener() {
  ++listenerGeneration_;
  bonjourRegistration_.reset();
  // Closed on its own queue, and before returning, so the port is free to be bound again.
  if (auto listener = std::move(listener_)) queue_.sync([&listener] { listener->cancel(); });
}

void ControlServer::listenerFailed(const std::string& description) {
  dropListener();
  statusMessage.set("Listener failed: " + description);
  isRunning.set(false);
  isBonjourAdvertised.set(false);
}

void ControlServer::bonjourEvent(uint64_t generation, const platform::BonjourEvent& event) {
  if (generation != listenerGeneration_) return;
  switch (event.kind) {
    case platform::BonjourEvent::Kind::added:
      isBonjourAdvertised.set(true);
      recomputeStatus();
      break;
    case platform::BonjourEvent::Kind::removed:
      isBonjourAdvertised.set(false);
      recomputeStatus();
      break;
    case platform::BonjourEvent::Kind::unavailable:
      // The daemon is gone or not there yet; the registration advertises again once it is back.
      common::serverLog("control")->warn(
          "Bonjour advertisement unavailable: {}; listening without it until the daemon is back",
          event.errorDescription);
      isBonjourAdvertised.set(false);
      recomputeStatus();
      break;
    case platform::BonjourEvent::Kind::failed:
      // Advertising is refused or impossible: serve without it rather than not at all. The
      // pairing code stays.
      if (!advertiseBonjour_) return;
      common::serverLog("control")->warn("Bonjour advertisement failed: {}; listening without it",
                                         event.errorDescription);
      advertiseBonjour_ = false;
      isBonjourAdvertised.set(false);
      dropListener();
      openListener();
      break;
  }
}

void ControlServer::recomputeStatus() {
  const std::string listening =
      "Listening on port " + std::to_string(listener_ ? listener_->port() : port);
  if (isBonjourAdvertised.get()) {
    statusMessage.set(listening + " (Bonjour on)");
  } else if (isRunning.get()) {
    statusMessage.set(listening + " (Bonjour off)");
  } else {
    statusMessage.set("Idle");
  }
}

}  // namespace ferrowin::control
