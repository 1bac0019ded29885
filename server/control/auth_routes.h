#pragma once
// The three public auth endpoints: hello (a one-time challenge), pair (the six-digit code plus an
// App Attest attestation, or an assertion of a known key) and resume (an assertion of a known
// key). A successful pair or resume authenticates the request's peer address.
//
// Called on the main executor by the router.

#include <memory>
#include <optional>
#include <string>

#include "server/control/authenticated_peers.h"
#include "server/control/client_proof.h"
#include "server/control/http_request.h"
#include "server/control/server_identifier.h"

namespace ferrowin::control {

struct AuthContext {
  AuthenticatedPeers& peers;
  const ClientProofVerifier* verifier;  // nullptr: every proof is rejected
  ServerIdentifier& serverId;
  std::string serverBundleVersion;
  bool pairEveryConnection = false;
};

ControlHTTPResponse authHello(const AuthContext& context, const ControlHTTPRequest& request);
/// A 200 answer means the code was used: the caller replaces it.
ControlHTTPResponse authPair(const AuthContext& context, const ControlHTTPRequest& request,
                             const std::string& pairingCode);
ControlHTTPResponse authResume(const AuthContext& context, const ControlHTTPRequest& request);

/// Checks the client's proof of its key for the challenge `nonce` and stores the resulting
/// credential. nullopt on success, else the error answer.
std::optional<ControlHTTPResponse> verifyClientProof(const AuthContext& context,
                                                     const std::string& keyId,
                                                     const std::optional<std::string>& attestation,
                                                     const std::optional<std::string>& assertion,
                                                     const std::vector<uint8_t>& nonce);

}  // namespace ferrowin::control
