// Built when the App Attest library is not part of the build: there is nothing to verify with.
#include "server/control/client_proof.h"

namespace ferrowin::control {

std::shared_ptr<const ClientProofVerifier> makeAppAttestProofVerifier(std::optional<std::string>) {
  return nullptr;
}

}  // namespace ferrowin::control
