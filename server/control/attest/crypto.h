#pragma once
// The platform services App Attest verification needs (SHA-256, P-256 ECDSA, X.509 chain
// evaluation), over plain bytes so OpenSSL stays inside crypto.cpp.

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ferrowin::control::attest {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(std::span<const uint8_t> data);
/// SHA-256 of `first` followed by `second`.
Sha256Digest sha256(std::span<const uint8_t> first, std::span<const uint8_t> second);

/// True when the chain [leaf, intermediate] ends at one of the certificates in `anchorsPem` (and
/// at nothing else: no system store, no partial chains), with the basic X.509 checks at `time`.
bool evaluateChain(std::span<const uint8_t> leafDer, std::span<const uint8_t> intermediateDer,
                   const std::vector<std::string>& anchorsPem, std::time_t time);

/// True when `pem` holds at least one certificate and nothing that fails to parse as one.
bool isCertificatePem(const std::string& pem);

/// The certificate's public key as an uncompressed X9.63 P-256 point (65 bytes), or nothing when
/// the DER does not parse or the key is not on P-256.
std::optional<std::vector<uint8_t>> p256PublicKeyOfCertificate(std::span<const uint8_t> der);

/// True when `x963` is an uncompressed point on P-256.
bool isP256PublicKey(std::span<const uint8_t> x963);

/// ECDSA with SHA-256 over `message`; `derSignature` must be a strict DER ECDSA-Sig-Value.
bool verifyP256Signature(std::span<const uint8_t> x963PublicKey, std::span<const uint8_t> message,
                         std::span<const uint8_t> derSignature);

}  // namespace ferrowin::control::attest
