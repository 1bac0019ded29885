#pragma once
// The end-to-end tests' usual start: the real host on free ports with folders of its own, and a
// client paired with it.

#include <optional>
#include <string>
#include <vector>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"
#include "tests/integration/host_process.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

/// A host with folders of its own and a client paired with it: the client keeps its state in
/// `state`, and the host trusts the client's development CA.
struct PairedHost {
  /// Starts the host with `environment` and `arguments` and pairs (fatal failures otherwise).
  void start(std::vector<std::pair<std::string, std::string>> environment = {},
             std::vector<std::string> arguments = {});
  /// The paired client's command line for `arguments` ("--state-dir <state> <arguments>").
  std::string cli(const std::string& arguments) const;
  /// A stream of the paired client: `arguments` after "stream --host 127.0.0.1 --port <port>".
  std::string stream(const std::string& arguments) const;

  TempDir data, config, state;
  client::attest::DevAttestAuthority authority =
      client::attest::DevAttestAuthority::open(state.path(), true).value();
  std::optional<HostProcess> host;
  std::optional<client::ControlClient> control;
};

}  // namespace ferrowin::testing
