#pragma once
// Cryptographically secure random bytes (OpenSSL's DRBG).

#include <cstdint>
#include <string>
#include <vector>

namespace ferrowin::common {

/// `count` random bytes. Aborts if the system cannot provide them: nothing secure can continue.
std::vector<uint8_t> secureRandomBytes(size_t count);
/// A uniformly distributed integer in [0, bound).
uint32_t secureRandomBelow(uint32_t bound);

}  // namespace ferrowin::common
