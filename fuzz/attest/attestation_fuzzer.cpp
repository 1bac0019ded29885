// Attestation verification over arbitrary attestation objects.
#include <cstdlib>

#include "fuzz/attest/fuzz_keys.h"

using namespace ferrowin::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto key = sampleVerifier().verifyAttestation({data, size}, kSampleKeyId, kSampleClientDataHash);
  // Only a chain to Apple's root can succeed, and then the key is always a P-256 point.
  if (key && key->publicKey.size() != 65) std::abort();
  return 0;
}
