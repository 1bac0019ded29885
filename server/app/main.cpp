// ferrowin-server: the game-streaming host.

#include <asio/signal_set.hpp>
#include <cstdio>

#include "common/runtime/main_executor.h"
#include "common/util/log.h"
#include "common/util/paths.h"
#include "common/util/settings.h"
#include "server/app/options.h"

using namespace ferrowin;

int main(int argc, char** argv) {
  auto parsed = app::parseHostCommandLine(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.output.c_str(), parsed.exitCode == 0 ? stdout : stderr);
    return parsed.exitCode;
  }
  const app::HostOptions& options = *parsed.options;
  auto log = common::serverLog("app");

  common::MainExecutor main;
  common::SettingsStore settings(common::configDirectory(options.configDir));
  log->info("Ferrowin host {} starting (data {}, settings {})", FERROWIN_VERSION,
            common::dataDirectory(options.dataDir).string(), settings.path().string());
  if (!options.headless) log->warn("No status window in this build; running headless");

  // Features that later parts of the host provide. Say so instead of silently ignoring a flag.
  log->warn("The control service is not built yet: nothing listens on port {}",
            options.controlPort);
  if (options.transport) log->warn("--transport {}: the video transport is not built yet", *options.transport);
  if (options.capture) log->warn("--capture {}: screen capture is not built yet", *options.capture);
  if (options.devAttestationRoot)
    log->warn("--dev-attestation-root: pairing is not built yet");

  asio::signal_set signals(main.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& ec, int signal) {
    if (ec) return;
    log->info("Received signal {}; stopping", signal);
    main.stop();
  });
  main.run();
  log->info("Stopped");
  return 0;
}
