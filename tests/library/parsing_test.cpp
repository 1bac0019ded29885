// Steam's KeyValues reader and the catalog's small rules.

#include <gtest/gtest.h>

#include "server/library/catalog_rules.h"
#include "server/library/vdf.h"

namespace ferrowin::library {
namespace {

TEST(Vdf, ReadsWhatSteamWrites) {
  auto document = parseVdf(R"("libraryfolders"
{
	"0"
	{
		"path"		"/home/p/.local/share/Steam"
		"apps" { "440" "123" }
	}
	// an old-style entry, a bare word and an escaped quote
	"1"	"/mnt/games"	[$LINUX]
	Label	"say \"hi\"\\"
})");
  ASSERT_TRUE(document) << document.error().description();
  const VdfNode* folders = document->child("LibraryFolders");  // letter case ignored
  ASSERT_NE(folders, nullptr);
  ASSERT_EQ(folders->children.size(), 3u);
  EXPECT_EQ(folders->child("0")->text("path"), "/home/p/.local/share/Steam");
  EXPECT_EQ(folders->child("0")->child("apps")->text("440"), "123");
  EXPECT_EQ(folders->text("1"), "/mnt/games");
  EXPECT_EQ(folders->text("label"), "say \"hi\"\\");
  EXPECT_EQ(folders->text("0"), std::nullopt);  // an object is not text
}

TEST(Vdf, RefusesDamagedFiles) {
  const std::string deep = std::string(40, '{');
  for (const std::string& text : std::vector<std::string>{
           R"("a" { "b" "c")", R"("a" "b" })", R"("a" "unterminated)", R"("a")", R"("a" { } })",
           R"({ "a" "b" })", R"("a" "b" [$WIN32)", "\"a\" " + deep}) {
    EXPECT_FALSE(parseVdf(text)) << text;
  }
  auto empty = parseVdf("  // nothing but a comment");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->children.empty());
}

TEST(CatalogRules, TitlesSortIgnoringCaseWithNumbersAsNumbers) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"Game 9", "Game 10", -1}, {"game 10", "Game 9", 1},    {"alpha", "Beta", -1},
      {"Doom", "DOOM", 0},       {"Quake 007", "Quake 7", 0}, {"", "a", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(compareTitles(c.a, c.b), c.expected) << c.a << " / " << c.b;

  std::vector<control::FerrowinAppSummary> apps = {{"/b", "Zed", {}},
                                                   {"/z", "same", {}},
                                                   {"/a", "Same", {}},
                                                   {"/c", "app 10", {}},
                                                   {"/d", "App 2", {}}};
  sortByTitle(apps);
  std::vector<std::string> ids;
  for (const auto& app : apps) ids.push_back(app.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"/d", "/c", "/a", "/z", "/b"}));
}

TEST(CatalogRules, UninstallersAreDroppedByTitleOrFileName) {
  auto kept = withoutUninstallers({{"/apps/a.desktop", "Uninstall Foo", {}},
                                   {"/apps/Uninstall Bar.desktop", "Bar Remover", {}},
                                   {"/apps/c.desktop", "Uninstaller", {}},  // no space: kept
                                   {"/apps/d.desktop", "uninstall e", {}}});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].title, "Uninstaller");
  EXPECT_EQ(kept[1].title, "uninstall e");
}

TEST(CatalogRules, IconNameIsTheHexSha256OfTheId) {
  EXPECT_EQ(iconFileName("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad.png");
  EXPECT_EQ(iconFileName("/usr/share/applications/é.desktop").size(), 68u);
}

}  // namespace
}  // namespace ferrowin::library
