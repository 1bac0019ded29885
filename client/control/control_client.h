#pragma once
// The host's control API from the client's side: one TLS connection per call, JSON bodies,
// answers decoded with JsonReader. Every call blocks for at most the client's timeout.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "client/control/client_state.h"
#include "client/control/http_exchange.h"
#include "common/util/expected.h"

namespace ferrowin::client {

struct ControlError {
  enum class Kind {
    network,   // resolve, connect, TLS, I/O, timeout
    protocol,  // an answer that is not HTTP or not the JSON the call expects
    http,      // the host answered with an error status; `message` is its "error" text
    local,     // the client's own state (keys, files)
  };
  Kind kind = Kind::network;
  int status = 0;  // with Kind::http
  std::string message;
  std::string description() const;
};

struct AuthHello {
  std::string challenge;  // Base64 of 32 bytes
  bool paired = false;
  bool pinRequired = false;
  std::string serverBundleVersion;
  std::string serverId;
};

struct ControlStatus {
  std::string version;
  std::string hostName;
  uint16_t controlPort = 0;
  uint16_t videoPort = 0;
  uint16_t gamepadPort = 0;
  std::string videoTransport;
  bool gamepadEnabled = false;
  bool streamingEnabled = false;
  std::string gamepadProfile;
  std::optional<std::string> frontmostBundleId;
  std::optional<std::string> frontmostExecutable;
  std::string serverId;
};

struct RemapLookSettings {
  double sensitivity = 1.0;
  double acceleration = 0.0;
  double deadzone = 0.0;
  double verticalScale = 1.0;
  std::string stickCurve = "linear";
  std::string rampCurve = "linear";
};

struct AppSummary {
  std::string id;
  std::string title;
  std::string group;  // "games", "other" or "system"
};

struct AppList {
  std::vector<AppSummary> apps;
  std::vector<std::string> recent;
};

class ControlClient {
 public:
  /// `stateDir` holds the certificate pins; `repinCertificate` lets a changed certificate replace
  /// its pin (pairing does this: the user has just confirmed the host by its code).
  ControlClient(HostAddress host, std::filesystem::path stateDir, double timeoutSeconds = 10.0,
                bool repinCertificate = false);

  const HostAddress& host() const { return host_; }

  Expected<AuthHello, ControlError> hello(const std::optional<std::string>& keyId);
  Expected<void, ControlError> pair(const std::string& code, const std::string& keyId,
                                    const std::optional<std::string>& attestation,
                                    const std::optional<std::string>& assertion);
  Expected<void, ControlError> resume(const std::string& keyId, const std::string& assertion);
  Expected<ControlStatus, ControlError> status();
  /// The active gamepad profile ("generic", "xbox" or empty).
  Expected<std::string, ControlError> settings();
  /// The host refuses this by design (the client's stream configuration sets the profile).
  Expected<void, ControlError> patchSettings(const std::string& jsonBody);
  /// The settings as the host stored them, after its clamping.
  Expected<RemapLookSettings, ControlError> putRemapSettings(const RemapLookSettings& settings);
  Expected<void, ControlError> releaseSession();

  /// The host's application catalog; `refresh` makes it scan again.
  Expected<AppList, ControlError> apps(bool refresh);
  /// Starts an application; answers the id the host launched.
  Expected<std::string, ControlError> launchApp(const std::string& id);
  Expected<AppList, ControlError> hideApp(const std::string& id);
  Expected<AppList, ControlError> removeRecentApp(const std::string& id);
  /// The application's icon as PNG bytes.
  Expected<std::string, ControlError> appIcon(const std::string& id);

  /// Any request; every status is returned as a response, only transport faults are errors.
  Expected<HttpResponse, ControlError> request(const std::string& method, const std::string& path,
                                               const std::string& body = {});

 private:
  /// `request`, with a non-200 answer turned into a ControlError carrying its error text.
  Expected<HttpResponse, ControlError> call(const std::string& method, const std::string& path,
                                            const std::string& body = {});

  HostAddress host_;
  std::filesystem::path stateDir_;
  double timeoutSeconds_;
  bool repinCertificate_;
};

}  // namespace ferrowin::client
