#include "server/capture/capture_sources.h"

#include <gtest/gtest.h>

#include "platform/synthetic/synthetic_capture.h"

namespace ferrowin::capture {
namespace {

using platform::CaptureDisplay;
using platform::CaptureRect;
using platform::CaptureWindow;
using platform::CaptureWindowRole;
using platform::ShareableContent;

CaptureWindow window(uint32_t id, CaptureRect frame, std::string title,
                     std::string application = "Game") {
  return {.id = id,
          .frame = frame,
          .title = std::move(title),
          .applicationIdentifier = application,
          .applicationName = application};
}

class CaptureSourcesTest : public ::testing::Test {
 protected:
  ShareableContent content() { return *backend_->shareableContent(true); }

  common::ManualClock clock_;
  std::shared_ptr<platform::SyntheticCaptureBackend> backend_ =
      std::make_shared<platform::SyntheticCaptureBackend>(
          std::vector<CaptureDisplay>{CaptureDisplay{7, {1920, 0, 1280, 720}, 1.0, false},
                                      CaptureDisplay{3, {0, 0, 1920, 1080}, 1.0, true},
                                      CaptureDisplay{5, {-1512, 0, 1512, 982}, 2.0, false}},
          clock_, clock_);
  CaptureSourceManager manager_{backend_};
};

TEST(WindowRules, ExclusionsUseTheSystemsOwnSurfacesAndOurOwnWindows) {
  EXPECT_FALSE(isExcludedWindow(window(1, {0, 0, 64, 64}, "Game")));
  EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 63, 400}, "Game")));
  EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 400, 63}, "Game")));
  EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 400, 400}, "Ferrowin", "com.zavel.ferrowin.server")));
  for (auto role : {CaptureWindowRole::dock, CaptureWindowRole::desktop,
                    CaptureWindowRole::notification}) {
    CaptureWindow w = window(1, {0, 0, 400, 400}, "Panel");
    w.role = role;
    EXPECT_TRUE(isExcludedWindow(w));
  }
  for (const char* title : {" Wallpaper\n", "DOCK", "underbelly", "the Backstop menu"}) {
    EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 400, 400}, title))) << title;
  }
  // The file manager's untitled windows are left out; its folders are listed but never games.
  EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 400, 400}, "", "org.gnome.Nautilus")));
  EXPECT_TRUE(isExcludedWindow(window(1, {0, 0, 400, 400}, "nemo", "Nemo")));
  const CaptureWindow folder = window(1, {0, 0, 1920, 1080}, "Documents", "org.gnome.Nautilus");
  EXPECT_FALSE(isExcludedWindow(folder));
  EXPECT_EQ(likelyGameScore(folder, {CaptureDisplay{1, {0, 0, 1920, 1080}, 1.0, true}}, 1), 0);
}

TEST_F(CaptureSourcesTest, ListsNamesAndSizesSourcesAndMovesAVanishedSelectionToTheMain) {
  backend_->setWindows({window(30, {0, 0, 400, 300}, "Game")});
  manager_.select("window:30");
  auto forClient = manager_.sourcesForClient(manager_.fetchContent());
  ASSERT_TRUE(forClient);
  EXPECT_EQ(forClient->selectedId, "window:30");
  backend_->setWindows({});
  forClient = manager_.sourcesForClient(manager_.fetchContent());
  ASSERT_TRUE(forClient);
  EXPECT_EQ(forClient->selectedId, "display:3");
  EXPECT_TRUE(manager_.followsMainDisplay());

  backend_->setWindows({
      window(20, {0, 0, 800, 600}, "beta"),
      window(21, {0, 0, 1920, 1080}, "Zed Game"),                 // full screen: a likely game
      window(22, {0, 0, 1920, 990}, "Almost"),                    // 91.7 %: not one
      window(24, {100, 100, 300, 300}, "Alpha"),
      window(23, {100, 100, 300, 300}, "alpha"),                  // same folded title: by id
      window(25, {0, 0, 63, 600}, "narrow"),                      // never listed
      window(26, {0, 0, 500, 500}, "", "Terminal"),               // title from the application
  });
  const auto list = manager_.listSources(content());
  std::vector<std::string> ids;
  for (const auto& source : list) ids.push_back(source.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"display:3", "display:5", "display:7", "window:21",
                                           "window:22", "window:23", "window:24", "window:20",
                                           "window:26"}));
  EXPECT_EQ(list[0], (ListedCaptureSource{"display:3", CaptureSourceKind::display, "Primary Display",
                                          "1920\xC3\x97" "1080", 1920, 1080, true, std::nullopt}));
  EXPECT_EQ(list[1].subtitle, "3024\xC3\x97" "1964");
  EXPECT_EQ(list[2].title, "Display 3");
  EXPECT_EQ(list[3], (ListedCaptureSource{"window:21", CaptureSourceKind::window, "Zed Game", "Game",
                                          1920, 1080, std::nullopt, true}));
  EXPECT_EQ(list[4].isLikelyGame, false);  // "Almost" comes before "alpha"
  EXPECT_EQ(list[8].title, "Terminal");
  EXPECT_EQ(list[8].subtitle, "Terminal");

  backend_->setWindows(
      {window(12, {0, 0, 300, 200}, "", ""), window(13, {0, 0, 300, 200}, "", "Editor")});
  const ShareableContent snapshot = content();
  EXPECT_FALSE(manager_.contentFilter("screen:1", snapshot));
  EXPECT_EQ(manager_.sourceTitle("screen:1", snapshot), "screen:1");
  EXPECT_FALSE(manager_.contentFilter("display:99", snapshot));
  EXPECT_FALSE(manager_.contentFilter("window:99", snapshot));
  auto retina = manager_.contentFilter("display:5", snapshot);
  ASSERT_TRUE(retina);
  EXPECT_EQ(CaptureSourceManager::contentPixelSize(*retina), (PixelSize{3024, 1964}));
  EXPECT_EQ(CaptureSourceManager::contentPixelSize(
                {platform::CaptureFilter::Kind::window, 1, {0, 0, 0.2, 10.5}, 0.5}),
            (PixelSize{1, 11}));  // scale never below 1, halves round away from zero, at least 1

  EXPECT_EQ(manager_.sourceTitle("display:7", snapshot), "Display (display:7)");
  EXPECT_EQ(manager_.sourceTitle("window:12", snapshot), "Unknown (window:12)");
  EXPECT_EQ(manager_.sourceTitle("window:13", snapshot), "Editor (window:13)");
  EXPECT_EQ(manager_.sourceTitle("window:99", snapshot), "Window (window:99)");

  EXPECT_EQ(manager_.defaultDesktopSourceId(snapshot), "display:3");
  backend_->setDisplays({CaptureDisplay{9, {0, 0, 800, 600}, 1.0, false},
                         CaptureDisplay{4, {800, 0, 800, 600}, 1.0, false}});
  ShareableContent withoutMain = content();
  withoutMain.displays.erase(withoutMain.displays.begin());  // the main (first) display gone
  EXPECT_EQ(manager_.defaultDesktopSourceId(withoutMain), "display:4");
  EXPECT_EQ(manager_.defaultDesktopSourceId(ShareableContent{}), manager_.selectedId());
}

}  // namespace
}  // namespace ferrowin::capture
