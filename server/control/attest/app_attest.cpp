#include "server/control/attest/app_attest.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/util/base64.h"
#include "server/control/attest/apple_root_ca.h"
#include "server/control/attest/auth_data.h"
#include "server/control/attest/cbor.h"
#include "server/control/attest/crypto.h"

namespace ferrowin::control::attest {

namespace {

constexpr std::string_view kProductionAppId = "K4X8R2TQ5M.com.zavel.ferrowin.remote";

constexpr std::array<uint8_t, 16> kDevelopmentAaguid = {'a', 'p', 'p', 'a', 't', 't', 'e', 's',
                                                        't', 'd', 'e', 'v', 'e', 'l', 'o', 'p'};
constexpr std::array<uint8_t, 16> kProductionAaguid = {'a', 'p', 'p', 'a', 't', 't', 'e', 's',
                                                       't', 0,   0,   0,   0,   0,   0,   0};

// DER of OID 1.2.840.113635.100.8.2, the extension that carries the attestation nonce.
constexpr std::array<uint8_t, 11> kNonceExtensionOid = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                                        0xf7, 0x63, 0x64, 0x08, 0x02};

template <class A, class B>
bool sameBytes(const A& a, const B& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The 32 bytes after the first 04 20 (an OCTET STRING of 32 bytes) that follows the nonce OID,
// found by a byte search rather than an ASN.1 walk of the extension.
std::optional<std::span<const uint8_t>> certificateNonce(std::span<const uint8_t> der) {
  auto oid =
      std::search(der.begin(), der.end(), kNonceExtensionOid.begin(), kNonceExtensionOid.end());
  if (oid == der.end()) return std::nullopt;
  for (auto p = oid + kNonceExtensionOid.size(); der.end() - p >= 34; ++p) {
    if (p[0] == 0x04 && p[1] == 0x20) return std::span<const uint8_t>(p + 2, 32);
  }
  return std::nullopt;
}

// The relying-party id hash App Attest puts in authenticator data.
Sha256Digest appIdHash(const std::string& appId) {
  return sha256({reinterpret_cast<const uint8_t*>(appId.data()), appId.size()});
}

}  // namespace

std::string description(AppAttestVerifyError error) {
  switch (error) {
    case AppAttestVerifyError::malformed:
      return "malformed";
    case AppAttestVerifyError::untrusted:
      return "untrusted";
    case AppAttestVerifyError::unknownKey:
      return "unknown key";
  }
  return "unknown";
}

AppAttestVerifier::AppAttestVerifier(Config config) : config_(std::move(config)) {}

AppAttestVerifier AppAttestVerifier::production(std::optional<std::string> developmentRootPem) {
  Config config;
  config.appId = std::string(kProductionAppId);
  config.trustAnchorsPem.emplace_back(kAppleAppAttestationRootCaPem);
  if (developmentRootPem) config.trustAnchorsPem.push_back(std::move(*developmentRootPem));
  config.now = [] { return std::time(nullptr); };
  return AppAttestVerifier(std::move(config));
}

Expected<AttestedKey, AppAttestVerifyError> AppAttestVerifier::verifyAttestation(
    std::span<const uint8_t> attestationObject, const std::string& keyId,
    std::span<const uint8_t> clientDataHash) const {
  using enum AppAttestVerifyError;
  if (clientDataHash.size() != 32) return make_unexpected(malformed);

  auto decoded = cbor::decode(attestationObject);
  if (!decoded || !decoded->map()) return make_unexpected(malformed);
  const cbor::Value* fmt = decoded->find("fmt");
  if (!fmt || !fmt->text() || *fmt->text() != "apple-appattest") return make_unexpected(malformed);
  const cbor::Value* authDataValue = decoded->find("authData");
  if (!authDataValue || !authDataValue->bytes()) return make_unexpected(malformed);
  const cbor::Value* statement = decoded->find("attStmt");
  if (!statement || !statement->map()) return make_unexpected(malformed);
  const cbor::Value* x5c = statement->find("x5c");
  if (!x5c || !x5c->array() || x5c->array()->size() < 2) return make_unexpected(malformed);
  const cbor::Bytes* credentialCert = (*x5c->array())[0].bytes();
  const cbor::Bytes* intermediateCert = (*x5c->array())[1].bytes();
  if (!credentialCert || !intermediateCert) return make_unexpected(malformed);

  const cbor::Bytes& authDataBytes = *authDataValue->bytes();
  auto authData = parseAuthData(authDataBytes, /*withAttestedCredential=*/true);
  if (!authData) return make_unexpected(malformed);

  if (!sameBytes(authData->rpIDHash, appIdHash(config_.appId))) return make_unexpected(untrusted);
  if (!sameBytes(authData->aaguid, kDevelopmentAaguid) &&
      !sameBytes(authData->aaguid, kProductionAaguid))
    return make_unexpected(untrusted);
  auto keyIdBytes = common::base64Decode(keyId);
  if (!keyIdBytes || *keyIdBytes != authData->credentialID) return make_unexpected(untrusted);

  const auto nonce = sha256(authDataBytes, clientDataHash);
  auto certNonce = certificateNonce(*credentialCert);
  if (!certNonce || !sameBytes(*certNonce, nonce)) return make_unexpected(untrusted);

  if (!evaluateChain(*credentialCert, *intermediateCert, config_.trustAnchorsPem, config_.now()))
    return make_unexpected(untrusted);
  auto publicKey = p256PublicKeyOfCertificate(*credentialCert);
  if (!publicKey) return make_unexpected(untrusted);
  return AttestedKey{std::move(*publicKey), authData->counter};
}

Expected<uint32_t, AppAttestVerifyError> AppAttestVerifier::verifyAssertion(
    std::span<const uint8_t> assertionObject, std::span<const uint8_t> publicKey,
    uint32_t storedCounter, std::span<const uint8_t> clientDataHash) const {
  using enum AppAttestVerifyError;
  if (clientDataHash.size() != 32) return make_unexpected(malformed);

  auto decoded = cbor::decode(assertionObject);
  if (!decoded || !decoded->map()) return make_unexpected(malformed);
  const cbor::Value* authDataValue = decoded->find("authenticatorData");
  const cbor::Value* signature = decoded->find("signature");
  if (!authDataValue || !authDataValue->bytes() || !signature || !signature->bytes())
    return make_unexpected(malformed);

  const cbor::Bytes& authDataBytes = *authDataValue->bytes();
  auto authData = parseAuthData(authDataBytes, /*withAttestedCredential=*/false);
  if (!authData) return make_unexpected(malformed);

  if (!sameBytes(authData->rpIDHash, appIdHash(config_.appId))) return make_unexpected(untrusted);
  if (authData->counter <= storedCounter) return make_unexpected(untrusted);

  // The nonce is the message; ECDSA-with-SHA-256 hashes it once more.
  const auto nonce = sha256(authDataBytes, clientDataHash);
  if (!verifyP256Signature(publicKey, nonce, *signature->bytes()))
    return make_unexpected(untrusted);
  return authData->counter;
}

}  // namespace ferrowin::control::attest
