// ferrowin-server: the game-streaming host.

#include <asio/signal_set.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "common/runtime/flow.h"
#include "common/runtime/main_executor.h"
#include "common/util/files.h"
#include "common/util/log.h"
#include "common/util/paths.h"
#include "common/util/settings.h"
#include "platform/bonjour.h"
#include "platform/host_info.h"
#include "server/app/host_services.h"
#include "server/app/options.h"
#include "server/control/client_proof.h"

using namespace ferrowin;

namespace {

// FERROWIN_INPUT_HELPER names the helper program to run (tests run a private copy under a name of
// its own, so this host's sweep of leftover helpers cannot end theirs).
std::optional<std::filesystem::path> inputHelperOverride() {
  const char* path = std::getenv("FERROWIN_INPUT_HELPER");
  if (!path || *path == '\0') return std::nullopt;
  return std::filesystem::path(path);
}

asio::awaitable<void> stopHelperThenExecutor(std::shared_ptr<app::HostServices> services,
                                             common::MainExecutor& main) {
  co_await services->inputHelper->stop();
  main.stop();
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = app::parseHostCommandLine(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.output.c_str(), parsed.exitCode == 0 ? stdout : stderr);
    return parsed.exitCode;
  }
  const app::HostOptions& options = *parsed.options;
  auto log = common::serverLog("app");

  std::optional<std::string> developmentRoot;
  if (options.devAttestationRoot) {
    auto pem = common::readFile(*options.devAttestationRoot);
    if (!pem) {
      std::fprintf(stderr, "ferrowin-server: --dev-attestation-root: %s\n",
                   pem.error().description().c_str());
      return 1;
    }
    developmentRoot = std::move(*pem);
  }

  common::MainExecutor main;
  common::SettingsStore settings(common::configDirectory(options.configDir));
  const auto dataDirectory = common::dataDirectory(options.dataDir) / control::kHostIdentifier;
  log->info("Ferrowin host {} starting (data {}, settings {})", FERROWIN_VERSION,
            dataDirectory.string(), settings.path().string());
  if (!options.headless) log->warn("No status window in this build; running headless");

  auto verifier = control::makeAppAttestProofVerifier(developmentRoot);
  if (!verifier) {
    log->warn("App Attest verification is not part of this build: pairing is refused");
  } else if (developmentRoot) {
    log->warn("Trusting {} as an App Attest root: development attestations are accepted",
              options.devAttestationRoot->string());
  }
  auto captureBackend = app::makeCaptureBackend(options.capture);
  if (!captureBackend) {
    std::fprintf(stderr, "ferrowin-server: --capture x11: %s\n",
                 captureBackend.error().description().c_str());
    return 1;
  }
  const auto encoderPreference = platform::resolveEncoderPreference(
      options.encoder, settings.stringValue(std::string(platform::kEncoderSettingKey)));

  auto services = app::HostServices::create({.main = &main,
                                             .settings = &settings,
                                             .dataDirectory = dataDirectory,
                                             .controlPort = options.controlPort,
                                             .transportOverride = options.transport,
                                             .verifier = verifier,
                                             .bonjour = platform::makeAvahiBonjour(),
                                             .hostInfo = platform::makeLinuxHostInfo(),
                                             .captureBackend = std::move(*captureBackend),
                                             .encoderPreference = encoderPreference,
                                             .inputHelperPath = inputHelperOverride()});
  log->info("Video transport {} on port {}", services->videoTransport(), services->videoPort());
  auto statusLog = services->control->statusMessage.observe(
      [log](const std::string& status) { log->info("Control: {}", status); });

  asio::signal_set signals(main.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& ec, int signal) {
    if (ec) return;
    log->info("Received signal {}; stopping", signal);
    // The helper is ended before the executor its stop runs on.
    common::spawn(main.context().get_executor(), stopHelperThenExecutor(services, main));
  });
  main.post([services] {
    services->inputHelper->killStaleHelpers();
    services->startServices();
  });
  main.run();
  services->holdServices();
  statusLog.reset();
  services.reset();
  log->info("Stopped");
  return 0;
}
