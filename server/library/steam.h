#pragma once
// Steam games installed for the user: every library listed by libraryfolders.vdf of each Steam
// installation (native ~/.local/share/Steam or ~/.steam/steam, the Flatpak one under
// ~/.var/app/com.valvesoftware.Steam), each installed appmanifest_*.acf in it. A game's id is its
// folder <library>/steamapps/common/<installdir>. Steam's own tools (Proton, the Steam Linux
// Runtime, the common redistributables) are not games and are left out.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowin::library {

struct SteamGame {
  std::string appId;
  std::string title;
  std::filesystem::path folder;
  std::filesystem::path steamRoot;  // the installation whose library lists it
};

/// Steam installations under `home`, each counted once however many links lead to it.
std::vector<std::filesystem::path> steamInstallations(const std::filesystem::path& home);

/// The installed games of every library of every installation, each folder once.
std::vector<SteamGame> steamGames(const std::filesystem::path& home);

/// The game whose folder is `folder`, if it is still installed.
std::optional<SteamGame> steamGameAt(const std::filesystem::path& home,
                                     const std::filesystem::path& folder);

bool isSteamTool(std::string_view appId, std::string_view name);

/// Files bigger than this are not Steam's and are not read.
inline constexpr uintmax_t kSteamFileLimit = 4 * 1024 * 1024;

}  // namespace ferrowin::library
