#pragma once
// The P-256 and SHA-256 operations the control service needs, over OpenSSL 3.

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ferrowin::control::p256 {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);

/// A new key whose public point has a compact representation (y is the smaller of y and p - y).
Key generateCompactKey();
/// A private key from its raw 32-byte scalar; nullptr for a wrong length or a scalar out of range.
Key privateKeyFromScalar(std::span<const uint8_t> scalar);
std::vector<uint8_t> scalar(EVP_PKEY* key);
/// The public point in X9.63 uncompressed form (65 bytes: 0x04, X, Y).
std::vector<uint8_t> publicPoint(EVP_PKEY* key);
/// True for a 65-byte X9.63 uncompressed point on the curve.
bool isPublicKey(std::span<const uint8_t> x963);
/// A DER ECDSA signature over SHA-256 of `message`; empty on failure.
std::vector<uint8_t> sign(EVP_PKEY* key, std::span<const uint8_t> message);

}  // namespace ferrowin::control::p256
