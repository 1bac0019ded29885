#pragma once
// The control listener's TLS identity: a P-256 key and a self-signed certificate, made on first
// use and kept in "control-tls" ("key": the raw 32-byte scalar, mode 0600; "cert.der"), so the
// host presents the same certificate across restarts. Clients do not validate it against any
// authority; their trust rests on pairing.

#include <asio/ssl/context.hpp>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::control {

struct TLSIdentityError {
  std::optional<std::string> errorDescription;
  std::string description() const;

  static constexpr const char* kCertificateInvalid = "control certificate is not valid";
  static constexpr const char* kIdentityFailed = "control identity could not be created";
  static constexpr const char* kKeyImportFailed = "private key import failed";
};

struct TLSIdentity {
  std::vector<uint8_t> privateKey;   // raw P-256 scalar, 32 bytes
  std::vector<uint8_t> certificate;  // DER
};

/// Reads "key" and "cert.der" from `directory` (created if missing) when both load and belong
/// together; otherwise makes a new key and certificate and writes them. Blocking file I/O.
[[nodiscard]] Expected<TLSIdentity, TLSIdentityError> loadOrCreateIdentity(
    const std::filesystem::path& directory);

/// The self-signed certificate (CN=Ferrowin, 2025-01-01 to 2040-01-01, random 8-byte serial) for
/// the key with this raw scalar.
[[nodiscard]] Expected<std::vector<uint8_t>, TLSIdentityError> makeSelfSignedCertificate(
    const std::vector<uint8_t>& privateKey);

/// A TLS server context presenting the identity. No client certificate is requested.
[[nodiscard]] Expected<std::shared_ptr<asio::ssl::context>, TLSIdentityError> makeServerContext(
    const TLSIdentity& identity);

}  // namespace ferrowin::control
