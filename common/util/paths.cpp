#include "common/util/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace ferrowin::common {

namespace {

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/tmp";
}

// XDG says a relative value is invalid and must be ignored.
std::optional<std::filesystem::path> xdg(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || *value != '/') return std::nullopt;
  return std::filesystem::path(value);
}

}  // namespace

std::filesystem::path dataDirectory(const std::optional<std::filesystem::path>& override) {
  if (override) return *override;
  if (auto base = xdg("XDG_DATA_HOME")) return *base;
  return homeDirectory() / ".local" / "share";
}

std::filesystem::path configDirectory(const std::optional<std::filesystem::path>& override) {
  if (override) return *override;
  if (auto base = xdg("XDG_CONFIG_HOME")) return *base / "ferrowin";
  return homeDirectory() / ".config" / "ferrowin";
}

}  // namespace ferrowin::common
