#include "common/util/settings.h"

#include <gtest/gtest.h>

#include "common/util/paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::common {
namespace {

using testing::TempDir;

TEST(Settings, RoundTripKeepsUnknownKeys) {
  TempDir dir;
  ASSERT_TRUE(
      writeFileAtomically(dir / "settings.json",
                          R"({"future.key":{"nested":[1,2]},"ferrowin.video.diagnostics":true})"));
  {
    SettingsStore store(dir.path());
    EXPECT_TRUE(store.boolValue("ferrowin.video.diagnostics", false));
    ASSERT_TRUE(store.setString("ferrowin.video.transport", "tcp"));
    ASSERT_TRUE(store.setBool("ferrowin.video.diagnostics", false));
  }
  SettingsStore reloaded(dir.path());
  EXPECT_EQ(reloaded.stringValue("ferrowin.video.transport"), "tcp");
  EXPECT_FALSE(reloaded.boolValue("ferrowin.video.diagnostics", true));
  auto raw = parseJson(readFile(dir / "settings.json").value()).value();
  EXPECT_EQ(raw["future.key"]["nested"], Json::parse("[1,2]"));
  ASSERT_TRUE(reloaded.remove("ferrowin.video.transport"));
  EXPECT_FALSE(SettingsStore(dir.path()).stringValue("ferrowin.video.transport").has_value());
}

TEST(Settings, CorruptOrTruncatedFileIsReportedAndSetAsideNotLost) {
  for (const char* text : {"{not json", R"({"ferrowin.video.transport": "tc)", "[1]", ""}) {
    TempDir dir;
    ASSERT_TRUE(writeFileAtomically(dir / "settings.json", text));
    testing::LogCapture log;
    SettingsStore store(dir.path());
    EXPECT_TRUE(log.contains((dir / "settings.json").string() +
                             " is not a JSON object; using the defaults (the next save keeps it "
                             "as " +
                             (dir / "settings.json").string() + ".corrupt)"))
        << text;
    EXPECT_TRUE(store.boolValue("x", true));
    ASSERT_TRUE(store.setBool("x", false));
    EXPECT_EQ(readFile(dir / "settings.json.corrupt").value(), text);
    EXPECT_FALSE(SettingsStore(dir.path()).boolValue("x", true));
  }
}

TEST(Paths, OverridesWinThenXdgThenHome) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
  ::setenv("HOME", "/home/u", 1);
  ::setenv("XDG_DATA_HOME", "/xdg/data", 1);
  ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(dataDirectory(std::filesystem::path("/override")), "/override");
  EXPECT_EQ(dataDirectory(std::nullopt), "/xdg/data");
  EXPECT_EQ(configDirectory(std::nullopt), "/home/u/.config/ferrowin");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
  EXPECT_EQ(dataDirectory(std::nullopt), "/home/u/.local/share");
  EXPECT_EQ(configDirectory(std::nullopt), "/xdg/config/ferrowin");
  EXPECT_EQ(configDirectory(std::filesystem::path("/c")), "/c");
  ::unsetenv("XDG_CONFIG_HOME");  // nothing else in this binary reads the XDG folders
  ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace ferrowin::common
