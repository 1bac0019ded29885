// What a scan finds on a whole (temporary) computer: the desktop entries it lists and Steam games
// in three libraries, read by the real GIO backend.

#include "server/library/discovery.h"

#include <gtest/gtest.h>

#include "platform/applications.h"
#include "server/library/catalog_rules.h"
#include "server/library/steam.h"
#include "tests/library/catalog_tree.h"

namespace ferrowin::testing {
namespace {

namespace fs = std::filesystem;
using control::FerrowinAppGroup;

std::vector<control::FerrowinAppSummary> scan(const CatalogTree& tree) {
  std::atomic<bool> cancelled{false};
  auto platform = platform::makeApplicationPlatform();
  return library::scanApplications(*platform, tree.environment(), cancelled);
}

TEST(Discovery, DesktopEntriesAreListedWhenEligible) {
  CatalogTree tree;
  const auto sys = tree.systemData();
  struct Case {
    const char* file;
    std::string contents;
    std::optional<FerrowinAppGroup> group;  // nullopt: not listed
  } cases[] = {
      {"plain.desktop", CatalogTree::entry("Plain"), FerrowinAppGroup::other},
      {"nodisplay.desktop", CatalogTree::entry("NoDisplay", "NoDisplay=true\n"), std::nullopt},
      {"hidden.desktop", CatalogTree::entry("Hidden", "Hidden=true\n"), std::nullopt},
      {"link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=https://example.com\n",
       std::nullopt},
      {"kde-only.desktop", CatalogTree::entry("KDE only", "OnlyShowIn=KDE;\n"), std::nullopt},
      {"gnome-only.desktop", CatalogTree::entry("GNOME only", "OnlyShowIn=KDE;GNOME;\n"),
       FerrowinAppGroup::other},
      {"not-gnome.desktop", CatalogTree::entry("Not GNOME", "NotShowIn=GNOME;\n"), std::nullopt},
      {"tryexec.desktop", CatalogTree::entry("TryExec", "TryExec=/nonexistent/program\n"),
       std::nullopt},
      {"no-program.desktop", CatalogTree::entry("No program", "Exec=/nonexistent/program %U\n"),
       std::nullopt},
      {"terminal.desktop", CatalogTree::entry("Terminal", "Terminal=true\n"), std::nullopt},
      {".secret/app.desktop", CatalogTree::entry("In a dot folder"), std::nullopt},
      {"game.desktop", CatalogTree::entry("Arcade", "Categories=Game;ArcadeGame;\n"),
       FerrowinAppGroup::games},
      {"settings.desktop", CatalogTree::entry("Mixer", "Categories=Settings;Game;\n"),
       FerrowinAppGroup::system},
      {"monitor.desktop", CatalogTree::entry("Monitor", "Categories=Utility;System;\n"),
       FerrowinAppGroup::system},
      {"wine/Programs/Tool.desktop", CatalogTree::entry("Wine Tool", "Categories=Utility;\n"),
       FerrowinAppGroup::games},
      {"uninstall.desktop", CatalogTree::entry("Uninstall Tool"), std::nullopt},
      {"Uninstall Bar.desktop", CatalogTree::entry("Bar Remover"), std::nullopt},
      {"uninstaller.desktop", CatalogTree::entry("Uninstaller"), FerrowinAppGroup::other},
      {"Unnamed Thing.desktop", CatalogTree::entry(""), FerrowinAppGroup::other},
  };
  for (const auto& c : cases) CatalogTree::addEntry(sys, c.file, c.contents);

  const auto apps = scan(tree);
  for (const auto& c : cases) {
    const auto id = (sys / "applications" / c.file).string();
    auto found =
        std::find_if(apps.begin(), apps.end(), [&](const auto& app) { return app.id == id; });
    if (!c.group) {
      EXPECT_EQ(found, apps.end()) << c.file << " should not be listed";
    } else if (found == apps.end()) {
      ADD_FAILURE() << c.file << " should be listed";
    } else {
      EXPECT_EQ(found->group, *c.group) << c.file;
    }
  }
  // The title falls back to the file name; the list is in title order.
  std::vector<std::string> titles;
  for (const auto& app : apps) titles.push_back(app.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Arcade", "GNOME only", "Mixer", "Monitor", "Plain",
                                              "Uninstaller", "Unnamed Thing", "Wine Tool"}));
}

TEST(Discovery, SteamGamesFromEveryLibraryOnce) {
  CatalogTree tree;
  const auto native = tree.home() / ".local/share/Steam";
  const auto external = tree.root() / "mnt/SteamLibrary";
  const auto flatpak = tree.home() / ".var/app/com.valvesoftware.Steam/.local/share/Steam";
  CatalogTree::addSteamLibrary(
      native, {{"440", "Team Fortress 2", "Team Fortress 2"},
               {"228980", "Steamworks Common Redistributables", "Steamworks Shared"},
               {"1493710", "Proton Experimental", "Proton - Experimental"},
               {"1628350", "Steam Linux Runtime 3.0 (sniper)", "SteamLinuxRuntime_sniper"},
               {"555", "Downloading", "Downloading", "1026"},
               {"666", "Escaping", "../../outside"}});
  CatalogTree::addSteamLibrary(external, {{"620", "Portal 2", "Portal 2"}});
  CatalogTree::addSteamLibrary(flatpak, {{"70", "Half-Life", "Half-Life"}});
  // The native installation lists the external library (current layout) and itself; the
  // ~/.steam/steam link leads to the same installation.
  CatalogTree::write(native / "steamapps/libraryfolders.vdf",
                     "\"libraryfolders\"\n{\n \"0\" { \"path\" \"" + native.string() +
                         "\" }\n \"1\" { \"path\" \"" + external.string() +
                         "\" }\n \"2\" { \"path\" \"relative/ignored\" }\n}\n");
  fs::create_directories(tree.home() / ".steam");
  fs::create_directory_symlink(native, tree.home() / ".steam/steam");
  // The flatpak one uses the old layout and lists the external library a second time.
  CatalogTree::write(flatpak / "steamapps/libraryfolders.vdf",
                     "\"LibraryFolders\"\n{\n \"TimeNextStatsReport\" \"1\"\n \"1\" \"" +
                         external.string() + "\"\n}\n");
  // A desktop shortcut of a listed game is not listed again; one of a game not installed is.
  CatalogTree::addEntry(
      tree.dataHome(), "Team Fortress 2.desktop",
      CatalogTree::entry("Team Fortress 2", "Exec=steam steam://rungameid/440\n"));
  CatalogTree::addEntry(tree.dataHome(), "Other.desktop",
                        CatalogTree::entry("Other Game", "Exec=/bin/true steam://rungameid/777\n"));

  EXPECT_EQ(library::steamInstallations(tree.home()).size(), 2u);
  const auto apps = scan(tree);
  std::vector<std::tuple<std::string, fs::path, FerrowinAppGroup>> found;
  for (const auto& app : apps) found.emplace_back(app.title, app.id, app.group);
  EXPECT_EQ(
      found,
      (std::vector<std::tuple<std::string, fs::path, FerrowinAppGroup>>{
          {"Half-Life", flatpak / "steamapps/common/Half-Life", FerrowinAppGroup::games},
          {"Other Game", tree.dataHome() / "applications/Other.desktop", FerrowinAppGroup::other},
          {"Portal 2", external / "steamapps/common/Portal 2", FerrowinAppGroup::games},
          {"Team Fortress 2", native / "steamapps/common/Team Fortress 2", FerrowinAppGroup::games},
      }));
}

TEST(CatalogRules, TitlesCompareIgnoringCaseWithNumbersAsNumbers) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"Game 9", "Game 10", -1}, {"game 10", "Game 9", 1},    {"alpha", "Beta", -1},
      {"Doom", "DOOM", 0},       {"Quake 007", "Quake 7", 0}, {"", "a", -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(library::compareTitles(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

}  // namespace
}  // namespace ferrowin::testing
