#pragma once
// A development App Attest authority: what Apple's attestation service and the Secure Enclave do
// for the real app, done in software so the reference client can pair with a host started with
// --dev-attestation-root.
//
// State directory layout:
//   dev-ca/root.pem, dev-ca/root-key.pem                 self-signed P-384 root
//   dev-ca/intermediate.pem, dev-ca/intermediate-key.pem P-384 intermediate under it
//   attest-key.json                                      {"counter","keyId","privateKey"}
// Private keys are written 0600.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/attest/certificates.h"
#include "common/util/expected.h"

namespace ferrowin::client::attest {

inline constexpr std::string_view kClientAppId = "K4X8R2TQ5M.com.zavel.ferrowin.remote";

struct AuthorityError {
  std::string message;
  std::string description() const { return message; }
};

/// The App Attest key of this client: made at pairing, then used for every assertion.
struct AttestKey {
  std::string keyId;          // Base64 of SHA-256 of the public key
  std::string privateKeyPem;  // P-256
  uint32_t counter = 0;       // the last sign counter used
};

class DevAttestAuthority {
 public:
  /// Loads the authority kept in `stateDir`; with `create`, makes it first when it is missing.
  static Expected<DevAttestAuthority, AuthorityError> open(const std::filesystem::path& stateDir,
                                                           bool create);

  const std::filesystem::path& rootCertificatePath() const { return rootPath_; }
  std::string rootCertificatePem() const { return certificatePem(root_.get()); }

  struct Attestation {
    AttestKey key;
    std::vector<uint8_t> object;  // CBOR attestation object
  };
  /// A new P-256 key (or `reuse`, keeping its counter) and its attestation over
  /// `clientDataHash`. Nothing is stored: the caller saves the key once the host has accepted it.
  Expected<Attestation, AuthorityError> attest(std::span<const uint8_t> clientDataHash,
                                               std::string_view appId = kClientAppId,
                                               const AttestKey* reuse = nullptr) const;

 private:
  DevAttestAuthority() = default;
  std::filesystem::path rootPath_;
  CertPtr root_;
  CertPtr intermediate_;
  KeyPtr intermediateKey_;
};

/// authData with attested credential data: App ID hash, flags 0x40, counter 0, the development
/// AAGUID, the credential id and the COSE form of `publicKey`.
std::vector<uint8_t> makeAttestationAuthData(std::string_view appId,
                                             std::span<const uint8_t> credentialId,
                                             std::span<const uint8_t> publicKey);

/// {"fmt":"apple-appattest","attStmt":{"x5c":[credential, intermediate],"receipt":h''},
/// "authData":...}
std::vector<uint8_t> makeAttestationObject(std::span<const uint8_t> credentialCertificate,
                                           std::span<const uint8_t> intermediateCertificate,
                                           std::span<const uint8_t> authData);

/// The assertion object {"signature","authenticatorData"} with counter `key.counter` + 1; the
/// counter in `key` is advanced. Save the key before sending so a counter is never reused.
Expected<std::vector<uint8_t>, AuthorityError> makeAssertion(
    AttestKey& key, std::span<const uint8_t> clientDataHash, std::string_view appId = kClientAppId);

Expected<AttestKey, AuthorityError> loadAttestKey(const std::filesystem::path& stateDir);
Expected<void, AuthorityError> saveAttestKey(const std::filesystem::path& stateDir,
                                             const AttestKey& key);

}  // namespace ferrowin::client::attest
