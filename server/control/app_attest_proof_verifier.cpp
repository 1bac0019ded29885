// Built only when the App Attest library is part of the build.
#include "server/control/client_proof.h"

namespace ferrowin::control {

namespace {

class AppAttestProofVerifier final : public ClientProofVerifier {
 public:
  explicit AppAttestProofVerifier(attest::AppAttestVerifier verifier)
      : verifier_(std::move(verifier)) {}

  Expected<AttestedKey, AppAttestVerifyError> verifyAttestation(
      std::span<const uint8_t> attestation, const std::string& keyId,
      std::span<const uint8_t> clientDataHash) const override {
    return verifier_.verifyAttestation(attestation, keyId, clientDataHash);
  }

  Expected<uint32_t, AppAttestVerifyError> verifyAssertion(
      std::span<const uint8_t> assertion, const Credential& credential,
      std::span<const uint8_t> clientDataHash) const override {
    return verifier_.verifyAssertion(assertion, credential.publicKey, credential.counter,
                                     clientDataHash);
  }

 private:
  attest::AppAttestVerifier verifier_;
};

}  // namespace

std::shared_ptr<const ClientProofVerifier> makeAppAttestProofVerifier(
    std::optional<std::string> developmentRootPem) {
  return std::make_shared<AppAttestProofVerifier>(
      attest::AppAttestVerifier::production(std::move(developmentRootPem)));
}

}  // namespace ferrowin::control
