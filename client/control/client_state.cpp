#include "client/control/client_state.h"

#include <fmt/format.h>

#include <cstdlib>

#include "common/util/files.h"
#include "common/util/json.h"
#include "common/util/log.h"

namespace ferrowin::client {

namespace fs = std::filesystem;

namespace {

std::string hex(const std::array<uint8_t, 32>& bytes) {
  std::string out;
  for (uint8_t b : bytes) out += fmt::format("{:02x}", b);
  return out;
}

}  // namespace

std::string HostAddress::text() const {
  if (host.find(':') != std::string::npos) return fmt::format("[{}]:{}", host, port);
  return fmt::format("{}:{}", host, port);
}

fs::path clientStateDirectory(const std::optional<fs::path>& override) {
  if (override) return *override;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    return fs::path(xdg) / "ferrowin-client";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".local/share/ferrowin-client";
}

Expected<HostAddress, StateError> loadLastHost(const fs::path& stateDir) {
  auto text = common::readFile(stateDir / "host.json");
  if (!text) return make_unexpected(StateError{"no host given and none paired yet (use --host)"});
  auto json = common::parseJson(*text);
  if (!json) return make_unexpected(StateError{"host.json: " + json.error().description()});
  common::JsonReader reader(*json);
  HostAddress host{reader.required<std::string>("host"), reader.required<uint16_t>("port")};
  if (!reader.ok())
    return make_unexpected(StateError{"host.json: " + reader.error()->description()});
  return host;
}

Expected<void, StateError> saveLastHost(const fs::path& stateDir, const HostAddress& host) {
  auto written = common::writeFileAtomically(
      stateDir / "host.json", common::encodeJson({{"host", host.host}, {"port", host.port}}));
  if (!written) return make_unexpected(StateError{written.error().description()});
  return {};
}

PinCheck checkHostPin(const fs::path& stateDir, const HostAddress& host,
                      const std::array<uint8_t, 32>& certificateSha256, bool repin) {
  const fs::path path = stateDir / "known-hosts.json";
  common::Json pins = common::Json::object();
  if (auto text = common::readFile(path)) {
    if (auto json = common::parseJson(*text); json && json->is_object()) pins = *json;
  }
  const std::string digest = hex(certificateSha256);
  const std::string key = host.text();
  PinCheck result = PinCheck::firstUse;
  if (auto it = pins.find(key); it != pins.end() && it->is_string()) {
    result = it->get<std::string>() == digest ? PinCheck::matches : PinCheck::changed;
  }
  if (result == PinCheck::changed) {
    common::logger("com.zavel.ferrowin.client", "control")
        ->warn("The certificate of {} changed: pinned SHA-256 {}, now {}{}", key,
               pins[key].get<std::string>(), digest, repin ? " (pinned again after pairing)" : "");
  }
  if (result == PinCheck::firstUse || (result == PinCheck::changed && repin)) {
    pins[key] = digest;
    auto written = common::writeFileAtomically(path, common::encodeJson(pins));
    if (!written) {
      common::logger("com.zavel.ferrowin.client", "control")
          ->warn("Could not pin the certificate of {}: {}", key, written.error().description());
    }
  }
  return result;
}

}  // namespace ferrowin::client
