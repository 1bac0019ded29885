#include "tests/library/catalog_tree.h"

#include <fmt/format.h>

#include "common/util/files.h"

namespace ferrowin::testing {

namespace fs = std::filesystem;

CatalogTree::CatalogTree() { fs::create_directories(home()); }

library::CatalogEnvironment CatalogTree::environment() const {
  return {home(), home() / ".config", dataHome(), {systemData(), flatpakExports()}, desktops};
}

fs::path CatalogTree::write(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  if (!common::writeFileAtomically(path, contents))
    throw std::runtime_error("cannot write " + path.string());
  return path;
}

std::string CatalogTree::entry(const std::string& name, const std::string& extra) {
  std::string text = "[Desktop Entry]\nType=Application\n";
  if (!name.empty()) text += "Name=" + name + "\n";
  if (extra.find("Exec=") == std::string::npos) text += "Exec=/bin/true\n";
  return text + extra;
}

fs::path CatalogTree::addEntry(const fs::path& dataDir, const std::string& relative,
                               const std::string& contents) {
  return write(dataDir / "applications" / relative, contents);
}

void CatalogTree::addSteamLibrary(const fs::path& library, const std::vector<Manifest>& games) {
  for (const auto& game : games) {
    write(library / "steamapps" / fmt::format("appmanifest_{}.acf", game.appId),
          fmt::format("\"AppState\"\n{{\n\t\"appid\"\t\t\"{}\"\n\t\"name\"\t\t\"{}\"\n"
                      "\t\"StateFlags\"\t\t\"{}\"\n\t\"installdir\"\t\t\"{}\"\n}}\n",
                      game.appId, game.name, game.stateFlags, game.installDir));
    fs::create_directories(library / "steamapps/common" / game.installDir);
  }
  fs::create_directories(library / "steamapps");
}

}  // namespace ferrowin::testing
