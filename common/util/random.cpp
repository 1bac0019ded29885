#include "common/util/random.h"

#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

namespace ferrowin::common {

std::vector<uint8_t> secureRandomBytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
    std::fputs("fatal: the system random generator failed\n", stderr);
    std::abort();
  }
  return bytes;
}

uint32_t secureRandomBelow(uint32_t bound) {
  if (bound <= 1) return 0;
  // Rejection sampling keeps the distribution uniform.
  const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
  for (;;) {
    auto bytes = secureRandomBytes(4);
    const uint32_t value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                           uint32_t(bytes[3]) << 24;
    if (value < limit) return value % bound;
  }
}

}  // namespace ferrowin::common
