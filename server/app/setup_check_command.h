#pragma once
// `ferrowin-server --check`: the setup rows as a table, without starting any service.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "common/util/settings.h"
#include "platform/bonjour.h"
#include "platform/setup_checks.h"

namespace ferrowin::app {

struct SetupCheckDependencies {
  common::SettingsStore* settings = nullptr;
  std::shared_ptr<platform::SetupChecks> checks;
  std::shared_ptr<platform::Bonjour> bonjour;
  /// The helper to probe instead of the one beside the host executable.
  std::optional<std::filesystem::path> inputHelperPath;
  /// How long the local-network probe may take to be advertised.
  double advertisementWait = 3.0;
};

/// Asks everything the setup window asks (the helper's gamepad probe and the probe
/// advertisement included), prints the table to `out` and returns 0 when setup can finish, else 1.
int runSetupCheck(SetupCheckDependencies dependencies, std::FILE* out);

/// Logs, once, the rows a headless host cannot satisfy (the ones it knows without probing).
void logUnsatisfiedSetup(const class HostPermissionMonitor& permissions);

}  // namespace ferrowin::app
