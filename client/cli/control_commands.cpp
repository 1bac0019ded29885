// Control-plane commands: the development attestation CA, pairing, resumption, status, release.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "client/attest/dev_authority.h"
#include "client/cli/commands.h"
#include "client/control/control_client.h"
#include "client/control/pairing.h"

namespace ferrowin::client::cli {

void addHostOptions(CLI::App* command, HostOptions& options, bool required) {
  auto* host =
      command->add_option("--host", options.host,
                          required ? "host name or address"
                                   : "host name or address (default: the one paired with last)");
  if (required) host->required();
  command->add_option("--port", options.port, "the host's control port")
      ->check(CLI::Range(1, 65533))
      ->capture_default_str();
}

std::string describe(const ControlError& error) {
  std::string text = error.description();
  if (error.kind == ControlError::Kind::http && error.status == 401 &&
      error.message == "unauthorized")
    text +=
        " (this client is not authenticated with the host: run `ferrowin-client resume`, or "
        "pair again)";
  return text;
}

// The global --state-dir, read when a command runs.
std::filesystem::path stateDir(CLI::App& app) {
  std::optional<std::filesystem::path> override;
  if (auto* option = app.get_option_no_throw("--state-dir"); option && option->count() > 0)
    override = option->as<std::string>();
  return clientStateDirectory(override);
}

// --host/--port when given, else the host last paired with.
std::optional<HostAddress> hostFor(const std::filesystem::path& dir, const HostOptions& options,
                                   CLI::App* command) {
  if (!options.host.empty()) return HostAddress{options.host, options.port};
  auto last = loadLastHost(dir);
  if (!last) {
    std::fprintf(stderr, "ferrowin-client: %s\n", last.error().description().c_str());
    return std::nullopt;
  }
  if (command->count("--port") > 0) last->port = options.port;
  return *last;
}

namespace {

// A command that talks to a host: --host/--port or the one paired with last. `run` returns the
// exit code.
template <class Run>
CLI::App* addHostCommand(CLI::App& app, CommandContext& context, const char* name,
                         const char* description, Run run) {
  auto options = std::make_shared<HostOptions>();
  auto* command = app.add_subcommand(name, description);
  addHostOptions(command, *options, /*required=*/false);
  command->callback([&app, &context, options, command, run] {
    const auto dir = stateDir(app);
    auto host = hostFor(dir, *options, command);
    if (!host) {
      context.exitCode = 1;
      return;
    }
    ControlClient client(*host, dir);
    context.exitCode = run(client, dir);
  });
  return command;
}

int report(const Expected<void, ControlError>& result, const std::string& success) {
  if (!result) {
    std::fprintf(stderr, "ferrowin-client: %s\n", describe(result.error()).c_str());
    return 1;
  }
  std::printf("%s\n", success.c_str());
  return 0;
}

}  // namespace

void registerControlCommands(CLI::App& app, CommandContext& context) {
  if (!app.get_option_no_throw("--state-dir"))
    app.add_option("--state-dir", "client state directory (default $XDG_DATA_HOME/ferrowin-client)")
        ->type_name("DIR");

  auto* devCa = app.add_subcommand("dev-ca", "development App Attest authority");
  devCa->require_subcommand(1);
  auto* init = devCa->add_subcommand(
      "init", "create the development CA; prints the root to pass to --dev-attestation-root");
  init->callback([&app, &context] {
    auto authority = attest::DevAttestAuthority::open(stateDir(app), /*create=*/true);
    if (!authority) {
      std::fprintf(stderr, "ferrowin-client: %s\n", authority.error().description().c_str());
      context.exitCode = 1;
      return;
    }
    std::printf("%s\n", authority->rootCertificatePath().c_str());
  });

  auto pairOptions = std::make_shared<HostOptions>();
  auto code = std::make_shared<std::string>();
  auto* pair = app.add_subcommand("pair", "pair with a host using the code it shows");
  addHostOptions(pair, *pairOptions, /*required=*/true);
  pair->add_option("--code", *code, "the six-digit pairing code")->required();
  pair->callback([&app, &context, pairOptions, code] {
    const auto dir = stateDir(app);
    auto authority = attest::DevAttestAuthority::open(dir, /*create=*/false);
    if (!authority) {
      std::fprintf(stderr, "ferrowin-client: %s\n", authority.error().description().c_str());
      context.exitCode = 1;
      return;
    }
    HostAddress host{pairOptions->host, pairOptions->port};
    ControlClient client(host, dir, 10.0, /*repinCertificate=*/true);
    context.exitCode =
        report(pairWithHost(client, *authority, dir, *code), "Paired with " + host.text());
  });

  auto* resume = addHostCommand(
      app, context, "resume", "resume the pairing with an App Attest assertion",
      [](ControlClient& client, const std::filesystem::path& dir) {
        return report(resumeWithHost(client, dir), "Resumed with " + client.host().text());
      });

  auto* status = addHostCommand(
      app, context, "status", "show the host's status",
      [](ControlClient& client, const std::filesystem::path&) {
        auto answer = client.status();
        if (!answer) {
          std::fprintf(stderr, "ferrowin-client: %s\n", describe(answer.error()).c_str());
          return 1;
        }
        auto yesNo = [](bool value) { return value ? "yes" : "no"; };
        std::printf("host:           %s\n", answer->hostName.c_str());
        std::printf("server id:      %s\n", answer->serverId.c_str());
        std::printf("ports:          control %u, video %u, gamepad %u\n", answer->controlPort,
                    answer->videoPort, answer->gamepadPort);
        std::printf("video:          %s, streaming %s\n", answer->videoTransport.c_str(),
                    yesNo(answer->streamingEnabled));
        std::printf("gamepad:        %s%s%s\n", yesNo(answer->gamepadEnabled),
                    answer->gamepadProfile.empty() ? "" : ", profile ",
                    answer->gamepadProfile.c_str());
        if (answer->frontmostBundleId || answer->frontmostExecutable) {
          std::printf("frontmost:      %s%s%s\n", answer->frontmostBundleId.value_or("").c_str(),
                      answer->frontmostBundleId && answer->frontmostExecutable ? " " : "",
                      answer->frontmostExecutable.value_or("").c_str());
        }
        return 0;
      });

  auto* release = addHostCommand(app, context, "release",
                                 "end the session: remove the virtual display and gamepad",
                                 [](ControlClient& client, const std::filesystem::path&) {
                                   return report(client.releaseSession(), "Session released");
                                 });

  for (auto* command : {pair, resume, status, release}) command->fallthrough();
  init->fallthrough();
  devCa->fallthrough();
}

}  // namespace ferrowin::client::cli
