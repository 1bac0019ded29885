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
#include "platform/setup_checks.h"
#include "platform/video_encoder.h"
#include "server/app/host_services.h"
#include "server/app/options.h"
#include "server/app/paired_clients_command.h"
#include "server/app/setup_check_command.h"
#include "server/control/client_proof.h"
#if FERROWIN_UI
#include "server/ui/shell.h"
#endif

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

void logEncoderChoice(spdlog::logger& log, platform::EncoderPreference preference,
                      const std::string& why) {
  const std::string wanted(platform::encoderPreferenceText(preference));
  if (preference == platform::EncoderPreference::software)
    return log.info("Encoder: libx265 (software, from {})", why);
  const auto hardware = platform::hardwareHevcEncoders();
  if (!hardware.empty())
    return log.info("Encoder: {} ({} from {}: the first hardware HEVC encoder that opens)",
                    hardware.front(), wanted, why);
  if (preference == platform::EncoderPreference::hardware)
    return log.warn(
        "Encoder: none ({} from {}, and no hardware HEVC encoder (NVENC, VA-API, "
        "Quick Sync) opens here): streams will fail",
        wanted, why);
  log.info(
      "Encoder: libx265 ({} from {}: no hardware HEVC encoder (NVENC, VA-API, Quick Sync) "
      "opens here)",
      wanted, why);
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

  if (options.check) {
    common::SettingsStore settings(common::configDirectory(options.configDir));
    auto checks = platform::makeLinuxSetupChecks("");
    // Through the desktop portal the Screen Recording row is its grant, asked for as a start would.
    if (const auto choice = app::chooseCapture(options.capture); choice.kind == "portal") {
      auto capture = app::makeCaptureBackend(choice, settings);
      if (!capture) std::fprintf(stderr, "ferrowin-server: %s\n", capture.error().c_str());
      if (!capture || capture->grant)
        checks = platform::withCaptureGrant(checks, capture ? capture->grant : nullptr);
    }
    return app::runSetupCheck({.settings = &settings,
                               .checks = checks,
                               .bonjour = platform::makeAvahiBonjour(),
                               .inputHelperPath = inputHelperOverride()},
                              stdout);
  }

  const auto dataDirectory = common::dataDirectory(options.dataDir) / control::kHostIdentifier;
  if (options.clients)
    return app::runPairedClientsCommand(*options.clients, dataDirectory, stdout, stderr);
  // One host per data folder: two would overwrite each other's paired clients.
  auto [locked, dataLock] = app::DataFolderLock::acquire(dataDirectory);
  if (locked == app::DataFolderLock::Result::busy) {
    log->error("Another host is running with {}; stopping", dataDirectory.string());
    return 1;
  }

  common::MainExecutor main;
  common::SettingsStore settings(common::configDirectory(options.configDir));
  log->info("Ferrowin host {} starting (data {}, settings {})", FERROWIN_VERSION,
            dataDirectory.string(), settings.path().string());
  // The tray icon and windows, unless asked not to or there is nowhere to show them.
  bool shell = false;
  if (!options.headless) {
#if FERROWIN_UI
    std::string why;
    shell = ui::displayAvailable(why);
    if (!shell) log->warn("No display for the status window ({}); running headless", why);
#else
    log->warn("No status window in this build; running headless");
#endif
  }

  auto verifier = control::makeAppAttestProofVerifier(developmentRoot);
  if (!verifier) {
    log->warn("App Attest verification is not part of this build: pairing is refused");
  } else if (developmentRoot) {
    log->warn("Trusting {} as an App Attest root: development attestations are accepted",
              options.devAttestationRoot->string());
  }
  auto capture = app::makeCaptureBackend(app::chooseCapture(options.capture), settings);
  if (!capture) {
    std::fprintf(stderr, "ferrowin-server: %s\n", capture.error().c_str());
    return 1;
  }
  // Where the capture comes from, and why (the choice is otherwise silent).
  log->info("Capture: {}", capture->description);
  const auto savedEncoder = settings.stringValue(std::string(platform::kEncoderSettingKey));
  const auto encoderPreference = platform::resolveEncoderPreference(options.encoder, savedEncoder);
  logEncoderChoice(*log, encoderPreference,
                   options.encoder ? "--encoder"
                   : savedEncoder && platform::encoderPreferenceFromText(*savedEncoder)
                       ? "the setting " + std::string(platform::kEncoderSettingKey)
                       : "the default");
  auto setupChecks = platform::makeLinuxSetupChecks("");
  if (capture->grant) setupChecks = platform::withCaptureGrant(setupChecks, capture->grant);
  const bool syntheticCapture = capture->kind == "synthetic";
  auto audioBackend = app::makeAudioBackend(options.audio, syntheticCapture);
  log->info("System audio from {} ({})", audioBackend->name(),
            options.audio ? "--audio " + *options.audio
            : syntheticCapture ? std::string("the default with the synthetic picture")
                               : std::string("the default"));

  auto services = app::HostServices::create({.main = &main,
                                             .settings = &settings,
                                             .dataDirectory = dataDirectory,
                                             .controlPort = options.controlPort,
                                             .transportOverride = options.transport,
                                             .verifier = verifier,
                                             .bonjour = platform::makeAvahiBonjour(),
                                             .hostInfo = platform::makeLinuxHostInfo(),
                                             .captureBackend = capture->backend,
                                             .virtualDisplayBackend = app::makeVirtualDisplayBackend(
                                                 capture->backend, capture->kind),
                                             .encoderPreference = encoderPreference,
                                             .audioBackend = std::move(audioBackend),
                                             .inputHelperPath = inputHelperOverride(),
                                             .setupChecks = setupChecks,
                                             .interactiveSetup = shell});
  if (!shell) app::logUnsatisfiedSetup(*services->permissions);
  log->info("Video transport {} on port {}", services->videoTransport(), services->videoPort());
  // One line per state the control service reaches: "Starting..." is only ever on the way to
  // "Listening…" or a failure, and a reopened listener reaches the same state again.
  auto statusLog = services->control->statusMessage.observe(
      [log, last = std::string("Idle")](const std::string& status) mutable {
        if (status == last || status == "Starting...") return;
        last = status;
        log->info("Control: {}", status);
      });

  // A host that cannot serve must say so and stop, not idle: nothing else would tell anyone.
  int exitCode = 0;

  asio::signal_set signals(main.context(), SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& ec, int signal) {
    if (ec) return;
    log->info("Received signal {}; stopping", signal);
    // The helper is ended before the executor its stop runs on.
    common::spawn(main.context().get_executor(), stopHelperThenExecutor(services, main));
  });
  auto startHost = [&, services] {
    services->inputHelper->killStaleHelpers();
    // With setup incomplete the setup window shows and the services wait for it.
    services->onboarding->presentIfNeeded();
    services->startServices();
    if (!services->setupComplete()) return;
    const auto failures = services->startFailures();
    if (failures.empty()) return;
    for (const auto& failure : failures) log->error("{}", failure);
    log->error("Stopping: a service could not start");
    exitCode = 1;
    common::spawn(main.context().get_executor(), stopHelperThenExecutor(services, main));
  };
  if (shell) {
#if FERROWIN_UI
    ui::runShell({.argc = argc,
                  .argv = argv,
                  .main = &main,
                  .services = services,
                  .start = startHost,
                  .stop = [&, services] {
                    log->info("Quit; stopping");
                    common::spawn(main.context().get_executor(),
                                  stopHelperThenExecutor(services, main));
                  }});
#endif
  } else {
    main.post(startHost);
    main.run();
  }
  services->holdServices();
  statusLog.reset();
  services.reset();
  log->info("Stopped");
  return exitCode;
}
