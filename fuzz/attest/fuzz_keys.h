#pragma once
// Fixed inputs for the verification fuzzers: the key, App ID and challenge of Apple's published
// development sample (fuzz/corpus/{attestation,assertion}/), so mutations of the seed reach every
// step of verification.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "server/control/attest/app_attest.h"
#include "server/control/attest/apple_root_ca.h"

namespace ferrowin::fuzz {

inline std::vector<uint8_t> hexBytes(const char* hex) {
  std::vector<uint8_t> out;
  for (const char* p = hex; p[0] && p[1]; p += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  return out;
}

inline const char* const kSampleKeyId = "YmbJO4x5nEHUvncp9zdWuVZjNBEMgJn3cdSToAXQe3M=";
inline const std::vector<uint8_t> kSampleClientDataHash =
    hexBytes("8be65cca515ad097c953967d18d635d86dd78a142ed3d077526bed11c6bec67b");
inline const std::vector<uint8_t> kSamplePublicKey = hexBytes(
    "0488c034a190aa7dbc5a061501c6542803942582198b3f1cc54673ca3b9ad20b41528267a54f5fdba0469fafb46bb6"
    "990a396bf04f94a49d4320c81c7ab240a398");

inline const control::attest::AppAttestVerifier& sampleVerifier() {
  static const control::attest::AppAttestVerifier verifier(
      {"6MURL8TA57.de.vincent-haupert.apple-appattest-poc",
       {control::attest::kAppleAppAttestationRootCaPem},
       [] { return std::time_t{1611404013}; }});
  return verifier;
}

}  // namespace ferrowin::fuzz
