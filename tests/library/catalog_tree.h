#pragma once
// A computer's worth of applications in a temporary folder: a home with its data folder, two
// system data folders, Steam installations, and the environment a scan reads.

#include <filesystem>
#include <string>
#include <vector>

#include "server/library/discovery.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class CatalogTree {
 public:
  CatalogTree();

  std::filesystem::path home() const { return root_ / "home"; }
  std::filesystem::path dataHome() const { return home() / ".local/share"; }
  std::filesystem::path systemData() const { return root_ / "usr/share"; }
  std::filesystem::path flatpakExports() const { return root_ / "flatpak/exports/share"; }
  std::filesystem::path root() const { return root_.path(); }

  library::CatalogEnvironment environment() const;

  /// Writes `contents` to `path` (folders created); answers the path.
  static std::filesystem::path write(const std::filesystem::path& path,
                                     const std::string& contents);
  /// A [Desktop Entry] with Type=Application, the name (omitted when empty), Exec=/bin/true
  /// unless `extra` has an Exec line, and the extra lines.
  static std::string entry(const std::string& name, const std::string& extra = {});
  /// Writes applications/<relative> under `dataDir`.
  static std::filesystem::path addEntry(const std::filesystem::path& dataDir,
                                        const std::string& relative, const std::string& contents);

  /// A Steam library folder with the manifests and game folders of `games` (appid, name,
  /// installdir, StateFlags).
  struct Manifest {
    std::string appId, name, installDir, stateFlags = "4";
  };
  static void addSteamLibrary(const std::filesystem::path& library,
                              const std::vector<Manifest>& games);

  std::vector<std::string> desktops{"GNOME"};

 private:
  TempDir root_;
};

}  // namespace ferrowin::testing
