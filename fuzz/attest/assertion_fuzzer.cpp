// Assertion verification over arbitrary assertion objects, with the sample's stored key.
#include <cstdlib>

#include "fuzz/attest/fuzz_keys.h"

using namespace ferrowin::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto counter =
      sampleVerifier().verifyAssertion({data, size}, kSamplePublicKey, 0, kSampleClientDataHash);
  if (counter && *counter == 0) std::abort();  // the counter must have grown
  return 0;
}
