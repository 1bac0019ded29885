#include "server/library/discovery.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <set>
#include <system_error>

#include "server/library/catalog_rules.h"
#include "server/library/steam.h"

namespace ferrowin::library {

namespace fs = std::filesystem;
using control::FerrowinAppGroup;
using control::FerrowinAppSummary;

namespace {

// An absolute directory from `name`, else `fallback` (relative values are ignored, as the XDG
// rules say).
fs::path absoluteFromEnvironment(const char* name, const fs::path& fallback) {
  const char* value = std::getenv(name);
  if (value && *value && fs::path(value).is_absolute()) return fs::path(value);
  return fallback;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(separator, start), text.size());
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Desktop entries of one applications/ folder, in path order, with their ids.
struct EntryFile {
  fs::path path;
  std::string id;
  bool underWine = false;
};

std::vector<EntryFile> entryFiles(const fs::path& applications,
                                  const std::atomic<bool>& cancelled) {
  std::vector<EntryFile> files;
  std::error_code error;
  if (!fs::is_directory(applications, error)) return files;
  fs::recursive_directory_iterator it(applications, fs::directory_options::skip_permission_denied,
                                      error);
  for (fs::recursive_directory_iterator end; !error && it != end && !cancelled;
       it.increment(error)) {
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    std::error_code statError;
    if (it->is_directory(statError)) {
      if (name.starts_with(".") || it.depth() >= 8) it.disable_recursion_pending();
      continue;
    }
    if (!name.ends_with(".desktop") || !it->is_regular_file(statError)) continue;
    const fs::path relative = path.lexically_relative(applications);
    std::string id = relative.generic_string();
    std::replace(id.begin(), id.end(), '/', '-');
    const bool underWine = relative.begin() != relative.end() && *relative.begin() == "wine" &&
                           std::next(relative.begin()) != relative.end();
    files.push_back({path.lexically_normal(), std::move(id), underWine});
  }
  std::sort(files.begin(), files.end(),
            [](const EntryFile& a, const EntryFile& b) { return a.path < b.path; });
  return files;
}

}  // namespace

CatalogEnvironment CatalogEnvironment::fromProcess() {
  CatalogEnvironment environment;
  const char* home = std::getenv("HOME");
  environment.home = home && *home ? fs::path(home) : fs::path("/");
  environment.configHome = absoluteFromEnvironment("XDG_CONFIG_HOME", environment.home / ".config");
  environment.dataHome =
      absoluteFromEnvironment("XDG_DATA_HOME", environment.home / ".local" / "share");
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  for (const auto& dir : split(dirs && *dirs ? dirs : "/usr/local/share:/usr/share", ':'))
    if (fs::path(dir).is_absolute()) environment.dataDirs.emplace_back(dir);
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  environment.desktops = split(desktop ? desktop : "", ':');
  return environment;
}

platform::IconSearch CatalogEnvironment::iconSearch() const {
  platform::IconSearch search{home, configHome, {dataHome}};
  search.dataDirs.insert(search.dataDirs.end(), dataDirs.begin(), dataDirs.end());
  return search;
}

FerrowinAppGroup desktopEntryGroup(const std::vector<std::string>& categories,
                                   bool underWineFolder) {
  auto has = [&](const char* category) {
    return std::find(categories.begin(), categories.end(), category) != categories.end();
  };
  if (has("System") || has("Settings")) return FerrowinAppGroup::system;
  if (has("Game") || underWineFolder) return FerrowinAppGroup::games;
  return FerrowinAppGroup::other;
}

std::string steamRunGameId(const std::string& exec) {
  static const std::regex pattern(R"(steam://rungameid/([0-9]+))");
  std::smatch match;
  return std::regex_search(exec, match, pattern) ? match[1].str() : std::string();
}

std::vector<FerrowinAppSummary> scanApplications(platform::ApplicationPlatform& platform,
                                                 const CatalogEnvironment& environment,
                                                 const std::atomic<bool>& cancelled) {
  std::vector<FerrowinAppSummary> apps;
  std::set<std::string> steamIds;
  for (const auto& game : steamGames(environment.home)) {
    steamIds.insert(game.appId);
    apps.push_back({game.folder.string(), game.title, FerrowinAppGroup::games});
  }

  std::vector<fs::path> bases{environment.dataHome};
  bases.insert(bases.end(), environment.dataDirs.begin(), environment.dataDirs.end());
  std::set<std::string> seenIds;
  std::set<fs::path> seenBases;
  for (const auto& base : bases) {
    if (!seenBases.insert(base.lexically_normal()).second) continue;
    for (const auto& file : entryFiles(base / "applications", cancelled)) {
      if (cancelled) return apps;
      if (!seenIds.insert(file.id).second) continue;  // shadowed by an earlier folder
      auto entry = platform.readDesktopEntry(file.path, environment.desktops);
      if (!entry) continue;
      const std::string runs = steamRunGameId(entry->exec);
      if (!runs.empty() && steamIds.count(runs)) continue;  // the Steam game is listed already
      std::string title = entry->title.empty() ? file.path.stem().string() : entry->title;
      apps.push_back({file.path.string(), std::move(title),
                      desktopEntryGroup(entry->categories, file.underWine)});
    }
  }
  sortByTitle(apps);
  return withoutUninstallers(std::move(apps));
}

}  // namespace ferrowin::library
