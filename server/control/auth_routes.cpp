#include "server/control/auth_routes.h"

#include <cctype>

#include "common/util/base64.h"
#include "server/control/messages.h"
#include "server/control/p256.h"
#include "server/control/responses.h"

namespace ferrowin::control {

namespace {

ControlHTTPResponse invalidJson() { return errorResponse(400, "invalid json"); }

std::string trimmed(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

std::optional<ControlHTTPResponse> attestationMode(const AuthContext& context,
                                                   const std::string& keyId,
                                                   const std::string& attestationText,
                                                   std::span<const uint8_t> clientDataHash) {
  const auto attestation = common::base64Decode(attestationText);
  if (!attestation) return invalidJson();
  if (!context.verifier) return errorResponse(401, "attestation rejected");
  auto attested = context.verifier->verifyAttestation(*attestation, keyId, clientDataHash);
  if (!attested) return errorResponse(401, "attestation rejected");
  // A pairing the host cannot keep is not answered as done: the client would believe itself
  // paired and find itself a stranger after the next restart.
  auto stored = context.peers.storeCredential(
      keyId, Credential{attested->publicKey, attested->counter},
      AuthenticatedPeers::OnSaveFailure::undo);
  if (!stored) return errorResponse(500, "Paired clients could not be saved: " + stored.error());
  return std::nullopt;
}

}  // namespace

std::optional<ControlHTTPResponse> verifyClientProof(const AuthContext& context,
                                                     const std::string& keyId,
                                                     const std::optional<std::string>& attestation,
                                                     const std::optional<std::string>& assertion,
                                                     const std::vector<uint8_t>& nonce) {
  const auto clientDataHash = p256::sha256(nonce);
  bool assertionMode;
  if (!attestation) {
    if (!assertion || assertion->empty()) return invalidJson();
    assertionMode = true;
  } else if (!assertion) {
    if (attestation->empty()) return invalidJson();
    assertionMode = false;
  } else {
    if (attestation->empty() == assertion->empty()) return invalidJson();
    assertionMode = true;
  }
  if (!assertionMode) return attestationMode(context, keyId, *attestation, clientDataHash);

  const auto assertionBytes = common::base64Decode(*assertion);
  if (!assertionBytes) {
    if (attestation) return attestationMode(context, keyId, *attestation, clientDataHash);
    return invalidJson();
  }
  const auto credential = context.peers.credential(keyId);
  if (!credential) return errorResponse(409, "unknown_key");
  if (!context.verifier) return errorResponse(401, "assertion rejected");
  auto counter = context.verifier->verifyAssertion(*assertionBytes, *credential, clientDataHash);
  if (!counter) return errorResponse(401, "assertion rejected");
  // The stored key is unchanged: a counter that cannot be saved only means a restart accepts the
  // next assertion from the older counter, which is still lower than any new one.
  (void)context.peers.storeCredential(keyId, Credential{credential->publicKey, *counter});
  return std::nullopt;
}

ControlHTTPResponse authHello(const AuthContext& context, const ControlHTTPRequest& request) {
  if (request.peer.empty()) return invalidJson();
  auto hello = decodeAuthHelloRequest(request.body);
  if (!hello) return invalidJson();

  FerrowinAuthHelloResponse response;
  const std::string keyId = trimmed(hello->keyId.value_or(""));
  if (!keyId.empty() && context.peers.credential(keyId)) {
    response.paired = true;
    response.pinRequired = context.pairEveryConnection;
  } else {
    response.paired = false;
    response.pinRequired = true;
  }
  response.challenge = common::base64Encode(context.peers.issueChallenge(request.peer));
  response.serverBundleVersion = context.serverBundleVersion;
  response.serverId = context.serverId.value();
  return jsonResponse(encode(response));
}

ControlHTTPResponse authPair(const AuthContext& context, const ControlHTTPRequest& request,
                             const std::string& pairingCode) {
  auto pair = decodePairRequest(request.body);
  if (!pair) return invalidJson();
  if (pair->code != pairingCode) return errorResponse(401, "invalid code");
  const auto nonce = context.peers.takeChallenge(request.peer);
  if (!nonce) return errorResponse(401, "challenge expired");
  if (auto failure =
          verifyClientProof(context, pair->keyId, pair->attestation, pair->assertion, *nonce))
    return *failure;
  context.peers.authorize(pair->keyId, request.peer);
  return jsonResponse(encode(FerrowinPairResponse{true}));
}

ControlHTTPResponse authResume(const AuthContext& context, const ControlHTTPRequest& request) {
  if (context.pairEveryConnection) return errorResponse(401, "pairing_required");
  auto resume = decodeAuthResumeRequest(request.body);
  if (!resume) return invalidJson();
  const auto nonce = context.peers.takeChallenge(request.peer);
  if (!nonce) return errorResponse(401, "challenge expired");
  if (auto failure =
          verifyClientProof(context, resume->keyId, std::nullopt, resume->assertion, *nonce))
    return *failure;
  context.peers.authorize(resume->keyId, request.peer);
  return jsonResponse(encode(FerrowinPairResponse{true}));
}

}  // namespace ferrowin::control
