#pragma once
// The control service: a TLS listener on the control port (default 52345) speaking one HTTP
// request per connection, advertised with Bonjour as "_ferrowin._tcp", which authenticates every
// request by its peer address and routes the "/v1/" API.
//
// Owned by HostServices and used on the main executor: start, stop, retryBonjour, the setters
// and route all run there. Connections live on the "com.zavel.ferrowin.control" queue and hop to
// the main executor for routing.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "common/runtime/clock.h"
#include "common/runtime/main_executor.h"
#include "common/runtime/published.h"
#include "common/runtime/serial_queue.h"
#include "platform/bonjour.h"
#include "platform/host_info.h"
#include "server/control/authenticated_peers.h"
#include "server/control/client_proof.h"
#include "server/control/collaborators.h"
#include "server/control/control_listener.h"
#include "server/control/http_request.h"
#include "server/control/server_identifier.h"
#include "server/control/tls_identity.h"
#include "server/library/application_library.h"

namespace ferrowin::control {

/// The host's identifier; its data folder is named after it.
inline constexpr const char* kHostIdentifier = "com.zavel.ferrowin.server";
inline constexpr const char* kBonjourServiceType = "_ferrowin._tcp";
/// Wrong pairing codes in a row (from any address) after which the code is replaced.
inline constexpr int kWrongCodesBeforeNewCode = 5;

class ControlServer : public std::enable_shared_from_this<ControlServer> {
 public:
  struct Dependencies {
    common::MainExecutor* main = nullptr;
    /// The host's data folder (<data dir>/com.zavel.ferrowin.server).
    std::filesystem::path dataDirectory;
    /// nullptr: every attestation and assertion is rejected.
    std::shared_ptr<const ClientProofVerifier> verifier;
    std::shared_ptr<platform::Bonjour> bonjour;
    std::shared_ptr<platform::HostInfo> hostInfo;
    const common::Clock* clock = &common::SteadyClock::instance();
    std::string serverBundleVersion = FERROWIN_VERSION;
    bool pairEveryConnection = control::pairEveryConnection();
    ControlListenerLimits limits;
    /// The application catalog the app routes serve; owned from here on. Without one those
    /// routes answer 404 "not found".
    std::shared_ptr<library::ApplicationLibrary> applications;
  };

  static std::shared_ptr<ControlServer> create(Dependencies dependencies);
  ~ControlServer();

  common::Published<bool> isRunning;
  common::Published<std::string> statusMessage;
  common::Published<std::string> pairingCode;
  common::Published<bool> isBonjourAdvertised;
  uint16_t port = 52345;

  AuthenticatedPeers& peers() { return *peers_; }
  ServerIdentifier& serverIdentifier() { return serverId_; }
  void setVideo(std::weak_ptr<ControlVideoAccess> video) { video_ = std::move(video); }
  void setInputHelper(std::weak_ptr<ControlInputHelperAccess> inputHelper) {
    inputHelper_ = std::move(inputHelper);
  }

  /// Stops, makes a new pairing code and opens the listener with Bonjour.
  void start();
  /// Closes the listener ("Idle"); connections already accepted finish on their own.
  void stop();
  /// Running: reopens the listener with Bonjour, keeping the code. Otherwise: start().
  void retryBonjour();

  /// The port the listener is bound to (differs from `port` only when `port` is 0); 0 when not
  /// listening.
  uint16_t listeningPort() const;
  /// Open control connections (for diagnostics and tests).
  size_t connectionCount() const;

  /// Answers one request. The three auth routes are public; everything else needs the peer to be
  /// authenticated.
  asio::awaitable<ControlHTTPResponse> route(ControlHTTPRequest request);

 private:
  explicit ControlServer(Dependencies dependencies);

  void openListener();
  void dropListener();
  void listenerFailed(const std::string& description);
  void bonjourEvent(uint64_t generation, const platform::BonjourEvent& event);
  void recomputeStatus();
  void newPairingCode();
  void announcePairingCode();
  /// Logs a failed pairing; replaces the code after kWrongCodesBeforeNewCode wrong ones.
  void pairingFailed(const std::string& peer, const std::string& reason);

  asio::awaitable<ControlHTTPResponse> status();
  ControlHTTPResponse settings();
  ControlHTTPResponse remapSettings(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> sessionRelease();
  asio::awaitable<ControlHTTPResponse> captureSources();
  asio::awaitable<ControlHTTPResponse> captureThumbnail(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> captureSelect(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> appRoute(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> apps(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> appIcon(const ControlHTTPRequest& request);
  asio::awaitable<ControlHTTPResponse> appAction(const ControlHTTPRequest& request,
                                                 const std::string& path);
  std::string gamepadProfile();

  Dependencies deps_;
  common::SerialQueue queue_{"com.zavel.ferrowin.control"};
  // The front application query of the status route asks the display server: it runs here while
  // the route awaits it, not on the main executor.
  common::SerialQueue hostInfoQueue_{"com.zavel.ferrowin.control.host-info"};
  std::shared_ptr<AuthenticatedPeers> peers_;
  ServerIdentifier serverId_;
  std::weak_ptr<ControlVideoAccess> video_;
  std::weak_ptr<ControlInputHelperAccess> inputHelper_;
  std::shared_ptr<ControlListener> listener_;
  std::unique_ptr<platform::BonjourRegistration> bonjourRegistration_;
  std::optional<TLSIdentity> tlsIdentity_;
  bool advertiseBonjour_ = true;
  // Tells events of a listener that has since been replaced from those of the current one.
  uint64_t listenerGeneration_ = 0;
  // Wrong codes tried against the current pairing code.
  int wrongCodes_ = 0;
};

}  // namespace ferrowin::control
