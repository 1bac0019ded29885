#pragma once
// What pairing needs from App Attest: check an attestation (first pairing) or an assertion
// (signed by an already known key). The production implementation wraps AppAttestVerifier; tests
// may substitute their own.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/util/expected.h"
#include "server/control/attest/app_attest.h"
#include "server/control/authenticated_peers.h"

namespace ferrowin::control {

using attest::AppAttestVerifyError;
using attest::AttestedKey;

class ClientProofVerifier {
 public:
  virtual ~ClientProofVerifier() = default;
  /// The attested public key and counter. Thread-safe.
  virtual Expected<AttestedKey, AppAttestVerifyError> verifyAttestation(
      std::span<const uint8_t> attestation, const std::string& keyId,
      std::span<const uint8_t> clientDataHash) const = 0;
  /// The assertion's counter, once it is known to be newer than the credential's. Thread-safe.
  virtual Expected<uint32_t, AppAttestVerifyError> verifyAssertion(
      std::span<const uint8_t> assertion, const Credential& credential,
      std::span<const uint8_t> clientDataHash) const = 0;
};

/// App Attest with Apple's root, plus `developmentRootPem` as one more anchor when given.
/// nullptr when this build has no App Attest verifier.
std::shared_ptr<const ClientProofVerifier> makeAppAttestProofVerifier(
    std::optional<std::string> developmentRootPem);

}  // namespace ferrowin::control
