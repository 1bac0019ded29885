#include "tests/integration/paired_host.h"

#include <gtest/gtest.h>

#include "client/control/pairing.h"

namespace ferrowin::testing {

void PairedHost::start(std::vector<std::pair<std::string, std::string>> environment,
                       std::vector<std::string> arguments) {
  host.emplace(HostProcess::Options{data.path(), config.path(), authority.rootCertificatePath(),
                                    std::move(environment), 0, std::move(arguments)});
  ASSERT_TRUE(host->start()) << host->log();
  control.emplace(client::HostAddress{"127.0.0.1", host->port()}, state.path(), 10.0, true);
  auto paired = client::pairWithHost(*control, authority, state.path(), host->pairingCode());
  ASSERT_TRUE(paired) << paired.error().description() << host->log();
}

std::string PairedHost::cli(const std::string& arguments) const {
  return "--state-dir " + state.path().string() + " " + arguments;
}

std::string PairedHost::stream(const std::string& arguments) const {
  return cli("stream --host 127.0.0.1 --port " + std::to_string(host->port()) + " " + arguments);
}

}  // namespace ferrowin::testing
