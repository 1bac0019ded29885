// Which front application counts as Steam, and the watcher that reports changes of it.
#include "server/inputhelper/frontmost.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_host_info.h"

namespace ferrowin::inputhelper {
namespace {

platform::FrontmostApplication app(std::optional<std::string> windowClass,
                                   std::optional<std::string> executable) {
  return {std::move(windowClass), std::move(executable), {}};
}

TEST(FrontmostBundleIdentifier, SteamClientWindowsAreSteamsHelper) {
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/home/u/.steam/ubuntu12_32/steam")),
            kSteamHelperBundleID);
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/x/ubuntu12_64/steamwebhelper")),
            kSteamHelperBundleID);
  EXPECT_EQ(frontmostBundleIdentifier(app("Steam", "/usr/lib/steam/bin")), kSteamHelperBundleID);
  // A game started from Steam is not the Steam client.
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, "/games/steamapps/common/Portal/hl2")),
            "hl2");
  EXPECT_EQ(frontmostBundleIdentifier(app("firefox", "/usr/lib/firefox/firefox-bin")), "firefox");
  EXPECT_EQ(frontmostBundleIdentifier(std::nullopt), std::nullopt);
  EXPECT_EQ(frontmostBundleIdentifier(app(std::nullopt, std::nullopt)), std::nullopt);
}

TEST(FrontmostWatcher, ReportsEachChangeOnce) {
  common::ManualClock clock;
  auto host = std::make_shared<platform::FakeHostInfo>();
  host->frontmost = app(std::nullopt, "/usr/bin/steam");
  std::vector<std::optional<std::string>> changes;
  FrontmostWatcher watcher(host, clock, clock,
                           [&](const std::optional<std::string>& id) { changes.push_back(id); });
  EXPECT_EQ(watcher.current(), kSteamHelperBundleID);
  watcher.start(watcher.current());
  clock.advance(1.0);
  EXPECT_TRUE(changes.empty());

  host->frontmost = app("firefox", "/usr/lib/firefox/firefox");
  clock.advance(1.0);
  host->frontmost.reset();
  clock.advance(1.0);
  clock.advance(1.0);
  EXPECT_EQ(changes, (std::vector<std::optional<std::string>>{"firefox", std::nullopt}));

  watcher.stop();
  host->frontmost = app(std::nullopt, "/usr/bin/steam");
  clock.advance(5.0);
  EXPECT_EQ(changes.size(), 2u);
}

}  // namespace
}  // namespace ferrowin::inputhelper
