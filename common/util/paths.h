#pragma once
// Where the host keeps its files.
//
//   data directory   the "Application Support" of the host: $XDG_DATA_HOME, else ~/.local/share,
//                    unless --data-dir names another. Pairing and identity files live in a folder
//                    named after the host's identifier inside it.
//   config directory the folder holding settings.json: $XDG_CONFIG_HOME/ferrowin, else
//                    ~/.config/ferrowin, unless --config-dir names another.

#include <filesystem>
#include <optional>

namespace ferrowin::common {

std::filesystem::path dataDirectory(const std::optional<std::filesystem::path>& override);
std::filesystem::path configDirectory(const std::optional<std::filesystem::path>& override);

}  // namespace ferrowin::common
