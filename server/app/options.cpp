#include "server/app/options.h"

#include <CLI/CLI.hpp>
#include <sstream>

namespace ferrowin::app {

ParsedCommandLine parseHostCommandLine(int argc, const char* const* argv) {
  CLI::App cli{"Ferrowin game-streaming host", "ferrowin-server"};
  HostOptions options;
  std::string dataDir, configDir, transport, capture, audio, encoder, devRoot;
  cli.set_version_flag("--version", std::string("ferrowin-server ") + FERROWIN_VERSION);
  cli.add_flag("--headless", options.headless, "Run without the tray icon and status window");
  cli.add_flag("--check", options.check,
               "Print what setup needs (display, XTEST, virtual gamepad, Avahi, Wi-Fi power "
               "saving) and exit: 0 when setup can finish, 1 otherwise; starts no service");
  cli.add_option("--control-port", options.controlPort,
                 "Control port (TLS); video uses the next port, input the one after")
      ->check(CLI::Range(1, 65533));
  cli.add_option("--data-dir", dataDir,
                 "Directory for pairing and identity files (default $XDG_DATA_HOME)");
  cli.add_option("--config-dir", configDir,
                 "Directory holding settings.json (default $XDG_CONFIG_HOME/ferrowin)");
  cli.add_option("--transport", transport,
                 "Video transport for this run; overrides the saved setting without changing it")
      ->check(CLI::IsMember({"tcp", "udp_arq", "udp_fec"}));
  cli.add_option("--capture", capture,
                 "Capture backend: auto (the default: the desktop portal in a Wayland session, x11 "
                 "where only DISPLAY is set, synthetic otherwise), x11, portal or synthetic")
      ->check(CLI::IsMember({"auto", "x11", "portal", "synthetic"}));
  cli.add_option("--audio", audio,
                 "System audio source: pulse (the default sink's monitor) or synthetic (a 440 Hz "
                 "tone); default synthetic with the synthetic capture, pulse otherwise")
      ->check(CLI::IsMember({"pulse", "synthetic"}));
  cli.add_option("--encoder", encoder,
                 "HEVC encoder for this run: auto (hardware when present, else libx265), hardware "
                 "or software; overrides the saved setting without changing it")
      ->check(CLI::IsMember({"auto", "hardware", "software"}));
  cli.add_option("--dev-attestation-root", devRoot,
                 "PEM certificate trusted as an extra App Attest root (development clients)")
      ->check(CLI::ExistingFile);

  auto* clients = cli.add_subcommand("clients", "Manage the paired clients (of --data-dir)");
  clients->require_subcommand(1);
  std::string keyId;
  auto* list = clients->add_subcommand("list", "List the paired clients' key ids");
  auto* forget = clients->add_subcommand("forget", "Forget one paired client; it must pair again");
  forget->add_option("keyid", keyId, "the client's key id, as `clients list` shows it")->required();

  ParsedCommandLine result;
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out, err;
    result.exitCode = cli.exit(error, out, err) == 0 ? 0 : 2;
    result.output = out.str() + err.str();
    return result;
  }
  if (list->parsed()) options.clients = HostOptions::Clients{false, {}};
  if (forget->parsed()) options.clients = HostOptions::Clients{true, keyId};
  if (!dataDir.empty()) options.dataDir = dataDir;
  if (!configDir.empty()) options.configDir = configDir;
  if (!transport.empty()) options.transport = transport;
  if (!capture.empty()) options.capture = capture;
  if (!audio.empty()) options.audio = audio;
  if (!encoder.empty()) options.encoder = encoder;
  if (!devRoot.empty()) options.devAttestationRoot = devRoot;
  result.options = options;
  return result;
}

}  // namespace ferrowin::app
