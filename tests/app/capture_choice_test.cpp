// --capture: which backend "auto" picks in which session, the portal's restore token kept in
// settings.json across starts, and what happens when the chosen backend cannot be opened.

#include <gtest/gtest.h>

#include <map>

#include "server/app/host_services.h"
#include "tests/support/fake_screencast_portal.h"
#include "tests/support/pipewire_server.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::app {
namespace {

EnvironmentLookup environmentOf(std::map<std::string, std::string> variables) {
  return [variables](const char* name) {
    auto it = variables.find(name);
    return it == variables.end() ? std::string() : it->second;
  };
}

TEST(CaptureChoice, AutoPicksThePortalInAWaylandSessionX11WithOnlyADisplay) {
  struct Case {
    std::optional<std::string> option;
    std::map<std::string, std::string> environment;
    std::string kind;
    std::string reason;
  };
  const Case cases[] = {
      {std::nullopt, {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, "portal",
       "a Wayland session: WAYLAND_DISPLAY wayland-0"},
      {"auto", {{"XDG_SESSION_TYPE", "wayland"}, {"DISPLAY", ":0"}}, "portal",
       "a Wayland session: XDG_SESSION_TYPE wayland"},
      {std::nullopt, {{"XDG_SESSION_TYPE", "x11"}, {"DISPLAY", ":1"}}, "x11", "DISPLAY :1"},
      {std::nullopt, {{"XDG_SESSION_TYPE", "tty"}}, "synthetic",
       "neither WAYLAND_DISPLAY nor DISPLAY is set"},
      {"x11", {{"WAYLAND_DISPLAY", "wayland-0"}}, "x11", "--capture x11"},
      {"synthetic", {{"DISPLAY", ":0"}}, "synthetic", "--capture synthetic"},
      {"portal", {}, "portal", "--capture portal"},
  };
  for (const Case& c : cases) {
    const CaptureChoice choice = chooseCapture(c.option, environmentOf(c.environment));
    EXPECT_EQ(choice.kind, c.kind) << c.reason;
    EXPECT_EQ(choice.reason, c.reason);
    EXPECT_EQ(choice.automatic, !c.option || *c.option == "auto");
  }
}

// Without a portal, "auto" goes on with what the session has; "--capture portal" stops with why.
TEST(CaptureChoice, PortalThatCannotBeReachedFailsOnlyAnExplicitChoice) {
  testing::TempDir dir;
  common::SettingsStore settings(dir.path());
  const auto environment = environmentOf(
      {{"WAYLAND_DISPLAY", "wayland-0"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir / "none").string()}});
  auto automatic = makeCaptureBackend(chooseCapture(std::nullopt, environment), settings, environment);
  ASSERT_TRUE(automatic) << automatic.error();
  EXPECT_EQ(automatic->kind, "synthetic");
  EXPECT_EQ(automatic->description.rfind("synthetic test pattern (portal capture unavailable: the "
                                         "ScreenCast portal is unavailable: no session bus",
                                         0),
            0u)
      << automatic->description;

  auto explicitPortal = makeCaptureBackend(chooseCapture("portal", environment), settings, environment);
  ASSERT_FALSE(explicitPortal);
  EXPECT_EQ(explicitPortal.error().rfind("--capture portal: the ScreenCast portal is unavailable", 0),
            0u)
      << explicitPortal.error();
}

// The first start asks and keeps the token; the next start restores the grant without asking (a
// refusal forgetting the token is setup's Screen Recording row: tests/app/setup_test.cpp).
TEST(CaptureChoice, PortalTokenIsKeptInSettingsSoTheNextStartDoesNotAsk) {
  std::string skip = testing::PipeWireServer::missing();
  if (skip.empty()) skip = testing::FakeScreenCastPortal::missing();
  if (!skip.empty()) GTEST_SKIP() << skip;
  testing::PipeWireServer server;
  ASSERT_TRUE(server.start()) << server.log();
  auto node = server.publishTestPattern("ferrowin-test-desktop", 640, 360, "smpte");
  ASSERT_TRUE(node);
  testing::FakeScreenCastPortal portal(server, "ferrowin-test-desktop", 640, 360);
  testing::TempDir dir;
  common::SettingsStore settings(dir.path());
  const auto environment = environmentOf(
      {{"XDG_SESSION_TYPE", "wayland"}, {"DBUS_SESSION_BUS_ADDRESS", server.busAddress()}});
  const CaptureChoice choice = chooseCapture(std::nullopt, environment);

  ASSERT_TRUE(portal.start());
  {
    auto setup = makeCaptureBackend(choice, settings, environment);
    ASSERT_TRUE(setup) << setup.error();
    EXPECT_EQ(setup->kind, "portal");
    EXPECT_EQ(setup->description,
              "portal (1 monitor through PipeWire) (a Wayland session: XDG_SESSION_TYPE wayland)");
    auto content = setup->backend->shareableContent(true);
    ASSERT_TRUE(content);
    ASSERT_EQ(content->displays.size(), 1u);
    EXPECT_EQ(content->displays[0].id, 1u);
    EXPECT_EQ(content->displays[0].frame, (platform::CaptureRect{0, 0, 640, 360}));
  }
  EXPECT_EQ(common::SettingsStore(dir.path()).stringValue(kPortalRestoreTokenKey), "token-1");
  EXPECT_NE(portal.log().find(R"("asked": true)"), std::string::npos);

  ASSERT_TRUE(portal.start(/*deny=*/true));  // a restart; asking would be refused now
  {
    auto setup = makeCaptureBackend(choice, settings, environment);
    ASSERT_TRUE(setup) << setup.error();
    EXPECT_EQ(setup->kind, "portal");
  }
  EXPECT_NE(portal.log().find(R"("restore_token": "token-1")"), std::string::npos);
  EXPECT_NE(portal.log().find(R"("asked": false)"), std::string::npos);
  EXPECT_EQ(settings.stringValue(kPortalRestoreTokenKey), "token-2");

  // Refused with nothing to restore: the host stays on the portal, ungranted, rather than stream
  // another backend's picture; setup's Screen Recording row shows the refusal.
  testing::TempDir fresh;
  common::SettingsStore unasked(fresh.path());
  auto refused = makeCaptureBackend(choice, unasked, environment);
  ASSERT_TRUE(refused) << refused.error();
  EXPECT_EQ(refused->kind, "portal");
  EXPECT_EQ(refused->description.rfind("portal (not granted: ", 0), 0u) << refused->description;
  ASSERT_TRUE(refused->grant);
  EXPECT_FALSE(refused->grant->granted());
}

}  // namespace
}  // namespace ferrowin::app
