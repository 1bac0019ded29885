#include "server/library/steam.h"

#include <algorithm>
#include <array>
#include <system_error>

#include "common/util/files.h"
#include "server/library/vdf.h"

namespace ferrowin::library {

namespace fs = std::filesystem;

namespace {

std::optional<VdfNode> readVdf(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  if (error || size > kSteamFileLimit) return std::nullopt;
  auto text = common::readFile(file);
  if (!text) return std::nullopt;
  auto parsed = parseVdf(*text);
  if (!parsed) return std::nullopt;
  return std::move(*parsed);
}

// One comparable form of a path: symbolic links resolved where the path exists.
fs::path canonicalOrSelf(const fs::path& path) {
  std::error_code error;
  auto canonical = fs::weakly_canonical(path, error);
  return error ? path.lexically_normal() : canonical;
}

bool isDirectory(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

// Library folders of one installation: its own, then those libraryfolders.vdf lists. Both the
// current layout ("0" { "path" "…" }) and the old one ("1" "…") are read.
std::vector<fs::path> libraryFolders(const fs::path& root) {
  std::vector<fs::path> folders{root};
  auto document = readVdf(root / "steamapps" / "libraryfolders.vdf");
  if (!document || document->children.empty()) return folders;
  const VdfNode& list = document->children.front().node;
  for (const auto& [key, node] : list.children) {
    if (key.empty() ||
        !std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    std::optional<std::string> path = node.isObject ? node.text("path") : node.value;
    if (path && !path->empty() && fs::path(*path).is_absolute()) folders.emplace_back(*path);
  }
  return folders;
}

// The installed game one manifest describes, if any.
std::optional<SteamGame> gameFromManifest(const fs::path& library, const fs::path& manifest) {
  auto document = readVdf(manifest);
  if (!document) return std::nullopt;
  const VdfNode* state = document->child("AppState");
  if (!state || !state->isObject) return std::nullopt;
  const auto appId = state->text("appid");
  const auto name = state->text("name");
  const auto installDir = state->text("installdir");
  if (!appId || appId->empty() || !installDir || installDir->empty()) return std::nullopt;
  // installdir is one folder name; anything that would leave steamapps/common is refused.
  if (installDir->find('/') != std::string::npos || *installDir == "." || *installDir == "..")
    return std::nullopt;
  if (const auto flags = state->text("StateFlags")) {
    // Bit 2 (4) is "fully installed"; a download in progress has not got it yet.
    char* end = nullptr;
    const unsigned long value = std::strtoul(flags->c_str(), &end, 10);
    if (end == flags->c_str() || (value & 4u) == 0) return std::nullopt;
  }
  const std::string title = name && !name->empty() ? *name : *installDir;
  if (isSteamTool(*appId, title)) return std::nullopt;
  const fs::path folder = library / "steamapps" / "common" / *installDir;
  if (!isDirectory(folder)) return std::nullopt;
  return SteamGame{*appId, title, folder.lexically_normal(), {}};
}

}  // namespace

bool isSteamTool(std::string_view appId, std::string_view name) {
  static constexpr std::array<std::string_view, 4> kToolIds = {
      "228980",   // Steamworks Common Redistributables
      "1070560",  // Steam Linux Runtime 1.0 (scout)
      "1391110",  // Steam Linux Runtime 2.0 (soldier)
      "1628350",  // Steam Linux Runtime 3.0 (sniper)
  };
  if (std::find(kToolIds.begin(), kToolIds.end(), appId) != kToolIds.end()) return true;
  return name == "Proton" || name.starts_with("Proton ") ||
         name.starts_with("Steam Linux Runtime") || name == "Steamworks Common Redistributables";
}

std::vector<fs::path> steamInstallations(const fs::path& home) {
  const std::array<fs::path, 4> candidates = {
      home / ".local/share/Steam",
      home / ".steam/steam",
      home / ".steam/root",
      home / ".var/app/com.valvesoftware.Steam/.local/share/Steam",
  };
  std::vector<fs::path> roots;
  for (const auto& candidate : candidates) {
    if (!isDirectory(candidate / "steamapps")) continue;
    auto root = canonicalOrSelf(candidate);
    if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
  }
  return roots;
}

std::vector<SteamGame> steamGames(const fs::path& home) {
  std::vector<SteamGame> games;
  std::vector<fs::path> seenLibraries;
  for (const auto& root : steamInstallations(home)) {
    for (const auto& folder : libraryFolders(root)) {
      const auto library = canonicalOrSelf(folder);
      if (std::find(seenLibraries.begin(), seenLibraries.end(), library) != seenLibraries.end())
        continue;
      seenLibraries.push_back(library);
      std::error_code error;
      std::vector<fs::path> manifests;
      for (fs::directory_iterator it(library / "steamapps", error), end; !error && it != end;
           it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name.starts_with("appmanifest_") && name.ends_with(".acf"))
          manifests.push_back(it->path());
      }
      std::sort(manifests.begin(), manifests.end());
      for (const auto& manifest : manifests) {
        auto game = gameFromManifest(library, manifest);
        if (!game) continue;
        game->steamRoot = root;
        const bool seen = std::any_of(games.begin(), games.end(),
                                      [&](const SteamGame& g) { return g.folder == game->folder; });
        if (!seen) games.push_back(std::move(*game));
      }
    }
  }
  return games;
}

std::optional<SteamGame> steamGameAt(const fs::path& home, const fs::path& folder) {
  for (auto& game : steamGames(home))
    if (game.folder == folder) return std::move(game);
  return std::nullopt;
}

}  // namespace ferrowin::library
