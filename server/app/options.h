#pragma once
// The host's command line.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::app {

struct HostOptions {
  bool headless = false;
  bool check = false;  // print the setup rows and exit

  uint16_t controlPort = 52345;  // video = control + 1, input = control + 2
  std::optional<std::filesystem::path> dataDir;
  std::optional<std::filesystem::path> configDir;
  std::optional<std::string> transport;  // "tcp", "udp_arq" or "udp_fec"; this run only
  std::optional<std::string> capture;    // "auto", "x11", "portal" or "synthetic"
  std::optional<std::string> audio;      // "pulse" or "synthetic"
  std::optional<std::string> encoder;    // "auto", "hardware" or "software"; this run only
  std::optional<std::filesystem::path> devAttestationRoot;
  /// "clients list" / "clients forget KEYID": manage the paired clients instead of serving.
  struct Clients {
    bool forget = false;  // else list
    std::string keyId;
  };
  std::optional<Clients> clients;
};

/// What the command line asks for: run with options, or exit (after --help, --version or an
/// error) with `exitCode` once `output` has been printed: 0, or 2 for a usage error.
struct ParsedCommandLine {
  std::optional<HostOptions> options;
  int exitCode = 0;
  std::string output;
};

ParsedCommandLine parseHostCommandLine(int argc, const char* const* argv);

}  // namespace ferrowin::app
