#pragma once
// The client's two ways in: pairing (the code shown on the host plus an App Attest attestation of
// a new key) and resumption (an assertion by the key paired before). Both answer a fresh hello
// challenge; clientDataHash = SHA-256(challenge nonce).

#include <filesystem>
#include <string>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"

namespace ferrowin::client {

/// On success the new key (attest-key.json) and the host (host.json) are saved in `stateDir`;
/// on failure the earlier key stays.
Expected<void, ControlError> pairWithHost(ControlClient& client,
                                          const attest::DevAttestAuthority& authority,
                                          const std::filesystem::path& stateDir,
                                          const std::string& code);

/// The key's counter is advanced and saved before the assertion is sent, so a counter is never
/// used twice even when the answer is lost.
Expected<void, ControlError> resumeWithHost(ControlClient& client,
                                            const std::filesystem::path& stateDir);

}  // namespace ferrowin::client
