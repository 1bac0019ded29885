#include "client/control/pairing.h"

#include "common/util/base64.h"

namespace ferrowin::client {

namespace {

unexpected<ControlError> localError(std::string message) {
  return make_unexpected(ControlError{ControlError::Kind::local, 0, std::move(message)});
}

Expected<std::vector<uint8_t>, ControlError> clientDataHash(const AuthHello& hello) {
  auto nonce = common::base64Decode(hello.challenge);
  if (!nonce || nonce->size() != 32)
    return make_unexpected(
        ControlError{ControlError::Kind::protocol, 0, "the host's challenge is not 32 bytes"});
  return attest::sha256(*nonce);
}

}  // namespace

Expected<void, ControlError> pairWithHost(ControlClient& client,
                                          const attest::DevAttestAuthority& authority,
                                          const std::filesystem::path& stateDir,
                                          const std::string& code) {
  auto hello = client.hello(std::nullopt);
  if (!hello) return make_unexpected(hello.error());
  auto hash = clientDataHash(*hello);
  if (!hash) return make_unexpected(hash.error());
  // Pairing again keeps the client's key, so the host replaces its credential instead of keeping
  // one more for the same client.
  const auto existing = attest::loadAttestKey(stateDir);
  auto attestation = authority.attest(*hash, attest::kClientAppId, existing ? &*existing : nullptr);
  if (!attestation) return localError(attestation.error().description());
  auto paired = client.pair(code, attestation->key.keyId, common::base64Encode(attestation->object),
                            std::nullopt);
  if (!paired) return paired;
  if (auto saved = attest::saveAttestKey(stateDir, attestation->key); !saved)
    return localError("paired, but the key could not be saved: " + saved.error().description());
  if (auto saved = saveLastHost(stateDir, client.host()); !saved)
    return localError("paired, but the host could not be saved: " + saved.error().description());
  return {};
}

Expected<void, ControlError> resumeWithHost(ControlClient& client,
                                            const std::filesystem::path& stateDir) {
  auto key = attest::loadAttestKey(stateDir);
  if (!key) return localError(key.error().description());
  auto hello = client.hello(key->keyId);
  if (!hello) return make_unexpected(hello.error());
  auto hash = clientDataHash(*hello);
  if (!hash) return make_unexpected(hash.error());
  auto assertion = attest::makeAssertion(*key, *hash);
  if (!assertion) return localError(assertion.error().description());
  if (auto saved = attest::saveAttestKey(stateDir, *key); !saved)
    return localError("the key's counter could not be saved: " + saved.error().description());
  return client.resume(key->keyId, common::base64Encode(*assertion));
}

}  // namespace ferrowin::client
