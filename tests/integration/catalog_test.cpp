// The application catalog's five routes on the real host, for a paired client, on a temporary
// computer (HOME, XDG folders, a Steam library, a `steam` on PATH that records what it is asked).

#include <gtest/gtest.h>

#include "common/util/files.h"
#include "tests/integration/paired_host.h"
#include "tests/library/catalog_tree.h"
#include "tests/support/spawn_logged.h"

namespace ferrowin::testing {
namespace {

namespace fs = std::filesystem;

std::string waitForFile(const fs::path& file) {
  std::string text;
  waitUntil(5, [&] { return !(text = common::readFile(file).value_or("")).empty(); });
  return text;
}

class Catalog : public ::testing::Test, protected PairedHost {
 protected:
  void SetUp() override {
    const auto steam = tree.home() / ".local/share/Steam";
    CatalogTree::addSteamLibrary(steam, {{"440", "Team Fortress 2", "Team Fortress 2"}});
    game = (steam / "steamapps/common/Team Fortress 2").string();
    const auto icon = tree.root() / "icon.xpm";
    CatalogTree::write(
        icon, "/* XPM */\nstatic char *i[] = {\"2 2 1 1\", \". c #FF0000\", \"..\", \"..\"};\n");
    editor = CatalogTree::addEntry(tree.systemData(), "editor.desktop",
                                   CatalogTree::entry("Editor", "Icon=" + icon.string() + "\n"))
                 .string();
    settings = CatalogTree::addEntry(tree.systemData(), "settings.desktop",
                                     CatalogTree::entry("Settings", "Categories=Settings;\n"))
                   .string();
    const auto bin = tree.root() / "bin";
    CatalogTree::write(bin / "steam",
                       "#!/bin/sh\necho \"$@\" > '" + (tree.root() / "steam.txt").string() + "'\n");
    fs::permissions(bin / "steam", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    environment = {{"HOME", tree.home().string()},
                   {"XDG_DATA_HOME", tree.dataHome().string()},
                   {"XDG_DATA_DIRS", tree.systemData().string()},
                   {"XDG_CONFIG_HOME", (tree.home() / ".config").string()},
                   {"XDG_CURRENT_DESKTOP", "GNOME"},
                   {"PATH", bin.string() + ":" + (path ? path : "/usr/bin:/bin")}};
  }

  static std::vector<std::string> ids(const client::AppList& list) {
    std::vector<std::string> out;
    for (const auto& app : list.apps) out.push_back(app.id);
    return out;
  }
  static void expectError(const auto& result, int status, const std::string& message) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().status, status) << result.error().description();
    EXPECT_EQ(result.error().message, message);
  }

  CatalogTree tree;
  std::vector<std::pair<std::string, std::string>> environment;
  std::string game, editor, settings;
};

TEST_F(Catalog, FiveRoutesForAPairedClientAndOnTheCommandLine) {
  ASSERT_NO_FATAL_FAILURE(start(environment));

  auto list = control->apps(false);
  ASSERT_TRUE(list) << list.error().description() << host->log();
  EXPECT_EQ(ids(*list), (std::vector<std::string>{editor, settings, game}));
  EXPECT_EQ(list->apps[1].group, "system");
  EXPECT_EQ(list->apps[2].group, "games");
  EXPECT_TRUE(list->recent.empty());

  // The command line: the list as JSON and as a table, a launch, an icon and an error.
  const std::string apps =
      cli("apps --host 127.0.0.1 --port " + std::to_string(host->port()) + " ");
  EXPECT_EQ(runClient(apps + "--json"),
            R"({"apps":[{"group":"other","id":")" + editor + R"(","title":"Editor"},)" +
                R"({"group":"system","id":")" + settings + R"(","title":"Settings"},)" +
                R"({"group":"games","id":")" + game +
                R"(","title":"Team Fortress 2"}],"recent":[]})" + "\n");
  EXPECT_EQ(runClient(apps + "launch '" + game + "'"), "Launched " + game + "\n");
  const std::string table = runClient(apps);
  EXPECT_NE(table.find("GROUP   TITLE            ID\n"), std::string::npos) << table;
  EXPECT_NE(table.find("games   Team Fortress 2  " + game + "\n"), std::string::npos) << table;
  EXPECT_NE(table.find("recent:\n  " + game + "\n"), std::string::npos) << table;
  const auto png = tree.root() / "editor.png";
  EXPECT_EQ(
      runClient(apps + "icon '" + editor + "' --out '" + png.string() + "'").rfind("Wrote ", 0),
      0u);
  EXPECT_EQ(common::readFile(png).value_or("").substr(0, 4), "\x89PNG");
  EXPECT_EQ(runClient(apps + "hide /not/listed"),
            "ferrowin-client: host answered 404: not found\n");
  // Its launch ran `steam` too: the routes' launch below must write the record anew.
  waitForFile(tree.root() / "steam.txt");
  fs::remove(tree.root() / "steam.txt");

  // Icons: a PNG (its size is the library's tests'); the id is required and must be listed.
  auto typed = control->request("GET", "/v1/apps/icon?id=" + editor);
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->headers.at("content-type"), "image/png");
  for (const char* path : {"/v1/apps/icon", "/v1/apps/icon?id="}) {
    auto missing = control->request("GET", path);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 400);
    EXPECT_EQ(missing->body, R"({"error":"missing id"})");
  }
  expectError(control->appIcon("/not/listed"), 404, "not found");
  expectError(control->appIcon(settings), 500, "could not read icon");

  // Launch: Steam's game through `steam`; errors as the routes name them.
  auto launched = control->launchApp(game);
  ASSERT_TRUE(launched) << launched.error().description();
  EXPECT_EQ(*launched, game);
  EXPECT_EQ(waitForFile(tree.root() / "steam.txt"), "steam://rungameid/440\n");
  expectError(control->launchApp("/not/listed"), 404, "not found");
  auto invalid = control->request("POST", "/v1/apps/launch", R"({"name":"x"})");
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid->status, 400);
  EXPECT_EQ(invalid->body, R"({"error":"invalid json"})");
  ASSERT_TRUE(control->launchApp(settings));
  EXPECT_EQ(control->apps(false)->recent, (std::vector<std::string>{settings, game}));

  // Hide and remove from recent answer the updated lists.
  auto hidden = control->hideApp(settings);
  ASSERT_TRUE(hidden);
  EXPECT_EQ(ids(*hidden), (std::vector<std::string>{editor, game}));
  EXPECT_EQ(hidden->recent, std::vector<std::string>{game});
  expectError(control->hideApp(settings), 404, "not found");
  auto removed = control->removeRecentApp(game);
  ASSERT_TRUE(removed);
  EXPECT_TRUE(removed->recent.empty());
  expectError(control->removeRecentApp(game), 404, "not found");

  // A new entry waits for a refresh.
  const auto added =
      CatalogTree::addEntry(tree.systemData(), "added.desktop", CatalogTree::entry("Added"))
          .string();
  EXPECT_EQ(ids(control->apps(false).value()), (std::vector<std::string>{editor, game}));
  EXPECT_EQ(ids(control->apps(true).value()), (std::vector<std::string>{added, editor, game}));
}

}  // namespace
}  // namespace ferrowin::testing
