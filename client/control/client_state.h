#pragma once
// What the client remembers between runs, in its state directory ($XDG_DATA_HOME/ferrowin-client
// unless --state-dir names another):
//   host.json         {"host","port"}: the host last paired with, used when no --host is given
//   known-hosts.json  {"<host>:<port>": "<SHA-256 of its certificate, hex>"}: pinned on first use

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/util/expected.h"

namespace ferrowin::client {

inline constexpr uint16_t kDefaultControlPort = 52345;

struct HostAddress {
  std::string host;
  uint16_t port = kDefaultControlPort;
  std::string text() const;  // "host:port", "[v6]:port"
};

struct StateError {
  std::string message;
  std::string description() const { return message; }
};

/// `override`, else $XDG_DATA_HOME/ferrowin-client, else ~/.local/share/ferrowin-client.
std::filesystem::path clientStateDirectory(const std::optional<std::filesystem::path>& override);

Expected<HostAddress, StateError> loadLastHost(const std::filesystem::path& stateDir);
Expected<void, StateError> saveLastHost(const std::filesystem::path& stateDir,
                                        const HostAddress& host);

enum class PinCheck { firstUse, matches, changed };

/// Compares the certificate digest with the pin of `host`; on first use (or with `repin`) the
/// digest becomes the pin.
PinCheck checkHostPin(const std::filesystem::path& stateDir, const HostAddress& host,
                      const std::array<uint8_t, 32>& certificateSha256, bool repin);

}  // namespace ferrowin::client
