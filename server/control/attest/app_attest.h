#pragma once
// App Attest verification: the client proves it is the genuine app with an attestation when it
// pairs, and with assertions (signed by the same key) when it resumes.
//
// The verifier's core takes the App ID, the trust anchors and the verification time as
// parameters, so a real attestation verifies in a test at its own date; production() uses the
// fixed App ID, Apple's App Attestation Root CA and the current time. Pure and thread-safe.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::control::attest {

enum class AppAttestVerifyError { malformed, untrusted, unknownKey };
std::string description(AppAttestVerifyError error);

struct AttestedKey {
  std::vector<uint8_t> publicKey;  // P-256, X9.63 uncompressed (65 bytes)
  uint32_t counter = 0;
};

class AppAttestVerifier {
 public:
  struct Config {
    std::string appId;                          // "TEAMID.bundle.id"
    std::vector<std::string> trustAnchorsPem;   // the only anchors
    std::function<std::time_t()> now;           // verification time
  };

  explicit AppAttestVerifier(Config config);

  /// The fixed App ID and Apple's root; `developmentRootPem` adds one more anchor.
  static AppAttestVerifier production(std::optional<std::string> developmentRootPem = std::nullopt);

  Expected<AttestedKey, AppAttestVerifyError> verifyAttestation(
      std::span<const uint8_t> attestationObject, const std::string& keyId,
      std::span<const uint8_t> clientDataHash) const;

  /// The new counter. `publicKey` and `storedCounter` come from the stored credential.
  Expected<uint32_t, AppAttestVerifyError> verifyAssertion(
      std::span<const uint8_t> assertionObject, std::span<const uint8_t> publicKey,
      uint32_t storedCounter, std::span<const uint8_t> clientDataHash) const;

 private:
  Config config_;
};

}  // namespace ferrowin::control::attest
