#pragma once
// The one trust anchor of genuine App Attest chains, embedded so verification works offline.

namespace ferrowin::control::attest {

/// PEM text without a final newline (797 characters, 14 lines).
extern const char* const kAppleAppAttestationRootCaPem;

}  // namespace ferrowin::control::attest
