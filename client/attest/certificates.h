#pragma once
// Keys and certificates for the development attestation authority (OpenSSL 3).

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ferrowin::client::attest {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

/// A fresh EC key on `curve` ("prime256v1", "secp384r1"); null only if OpenSSL fails.
KeyPtr generateKey(const char* curve);

struct CertificateRequest {
  std::string commonName;
  EVP_PKEY* subjectKey = nullptr;
  X509* issuer = nullptr;         // null: self-signed with subjectKey
  EVP_PKEY* issuerKey = nullptr;  // the issuer's private key (ignored when self-signed)
  bool certificateAuthority = false;
  std::time_t notBefore = 0;
  std::time_t notAfter = 0;
  /// When set: the App Attest nonce extension (OID 1.2.840.113635.100.8.2) holding
  /// SEQUENCE { [1] EXPLICIT OCTET STRING nonce }.
  std::optional<std::vector<uint8_t>> attestationNonce;
};

/// Signed with SHA-256 for P-256 issuers and SHA-384 otherwise; null when OpenSSL refuses.
CertPtr makeCertificate(const CertificateRequest& request);

std::vector<uint8_t> certificateDer(X509* cert);
std::string certificatePem(X509* cert);
CertPtr parseCertificatePem(const std::string& pem);

std::string privateKeyPem(EVP_PKEY* key);
KeyPtr parsePrivateKeyPem(const std::string& pem);

/// The uncompressed X9.63 point of an EC key (65 bytes on P-256).
std::vector<uint8_t> publicKeyX963(EVP_PKEY* key);

/// DER ECDSA signature over SHA-256(message).
std::vector<uint8_t> signSha256(EVP_PKEY* key, std::span<const uint8_t> message);

std::vector<uint8_t> sha256(std::span<const uint8_t> first, std::span<const uint8_t> second = {});

}  // namespace ferrowin::client::attest
