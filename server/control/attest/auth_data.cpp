#include "server/control/attest/auth_data.h"

namespace ferrowin::control::attest {

Expected<AuthData, AppAttestVerifyError> parseAuthData(std::span<const uint8_t> bytes,
                                                       bool withAttestedCredential) {
  constexpr size_t kHeader = 37;            // rpIdHash (32), flags (1), counter (4)
  constexpr size_t kCredentialHeader = 55;  // + aaguid (16), credential id length (2)
  if (bytes.size() < kHeader) return make_unexpected(AppAttestVerifyError::malformed);
  AuthData data;
  data.rpIDHash.assign(bytes.begin(), bytes.begin() + 32);
  data.counter = (uint32_t{bytes[33]} << 24) | (uint32_t{bytes[34]} << 16) |
                 (uint32_t{bytes[35]} << 8) | uint32_t{bytes[36]};
  if (!withAttestedCredential) return data;

  if (bytes.size() < kCredentialHeader) return make_unexpected(AppAttestVerifyError::malformed);
  data.aaguid.assign(bytes.begin() + 37, bytes.begin() + 53);
  const size_t length = (size_t{bytes[53]} << 8) | size_t{bytes[54]};
  if (length == 0 || kCredentialHeader + length > bytes.size())
    return make_unexpected(AppAttestVerifyError::malformed);
  data.credentialID.assign(bytes.begin() + kCredentialHeader,
                           bytes.begin() + static_cast<std::ptrdiff_t>(kCredentialHeader + length));
  return data;
}

}  // namespace ferrowin::control::attest
