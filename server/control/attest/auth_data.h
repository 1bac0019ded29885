#pragma once
// Authenticator data: the fixed-layout record inside attestations and assertions.

#include <cstdint>
#include <span>
#include <vector>

#include "common/util/expected.h"
#include "server/control/attest/app_attest.h"

namespace ferrowin::control::attest {

struct AuthData {
  std::vector<uint8_t> rpIDHash;  // 32 bytes
  uint32_t counter = 0;
  std::vector<uint8_t> aaguid;        // 16 bytes; empty without attested credential data
  std::vector<uint8_t> credentialID;  // empty without attested credential data
};

/// The flags byte is not examined; with `withAttestedCredential` the AAGUID and credential id
/// must be present. Anything after the credential id (the COSE key, extensions) is not read.
[[nodiscard]] Expected<AuthData, AppAttestVerifyError> parseAuthData(std::span<const uint8_t> bytes,
                                                                     bool withAttestedCredential);

}  // namespace ferrowin::control::attest
