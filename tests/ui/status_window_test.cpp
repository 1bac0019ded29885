// The status window against the real services: what each block shows as the services change.

#include "server/ui/status_window.h"

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>

#include "tests/ui/ui_test_support.h"

namespace ferrowin::ui {
namespace {

class StatusWindowTest : public ShellTest {
 protected:
  std::unique_ptr<StatusWindow> makeWindow() {
    auto window = std::make_unique<StatusWindow>(shell(), [this] { ++quits; });
    window->refresh();
    return window;
  }
  template <class T = QWidget>
  T* child(QWidget& window, const char* name) {
    auto* found = window.findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  /// Starts the services as finishing setup does.
  void startServices() {
    grantEverything();
    ASSERT_TRUE(settings.setBool(app::kOnboardingCompletedKey, true));
    services = makeServices();
    thread.onMain([&] { services->startServices(); });
    ASSERT_TRUE(services->control->isRunning.get());
  }
  int quits = 0;
};

// Quit, the control block and the video indicator follow the services.
TEST_F(StatusWindowTest, QuitControlBlockAndVideoIndicatorFollowTheServices) {
  services = makeServices();
  auto window = makeWindow();
  // Setup incomplete: nothing runs, so neither the code nor "Retry Bonjour" shows.
  EXPECT_TRUE(shown(child(*window, "finishSetup")));
  EXPECT_FALSE(shown(child(*window, "pairingCode")));
  EXPECT_FALSE(shown(child(*window, "retryBonjour")));
  EXPECT_EQ(child<QLabel>(*window, "controlStatus")->text(), "Idle");
  EXPECT_EQ(child<Indicator>(*window, "videoIndicator")->color(), kGray);  // stopped
  child<QPushButton>(*window, "quit")->click();
  EXPECT_EQ(quits, 1);

  thread.onMain([&] { services.reset(); });
  bonjour->immediateEvent = platform::BonjourEvent{platform::BonjourEvent::Kind::added, ""};
  startServices();
  window = makeWindow();
  const QString code = QString::fromStdString(services->control->pairingCode.get());
  EXPECT_TRUE(shown(child(*window, "pairingCode")));
  EXPECT_EQ(child<QLabel>(*window, "pairingCode")->text(), "Pairing Code: " + code);
  EXPECT_TRUE(waitUntil([&] {
    window->refresh();
    return services->control->isBonjourAdvertised.get();
  }));
  EXPECT_FALSE(shown(child(*window, "retryBonjour")));
  EXPECT_FALSE(shown(child(*window, "finishSetup")));
  EXPECT_EQ(child<Indicator>(*window, "videoIndicator")->color(), kYellow);  // nobody connected

  // The advertisement fails: "Retry Bonjour" appears, and brings the advertisement back.
  ASSERT_TRUE(bonjour->deliver({platform::BonjourEvent::Kind::failed, "refused"}));
  EXPECT_TRUE(waitUntil([&] { return shown(window->findChild<QWidget*>("retryBonjour")); }));
  const size_t before = bonjour->advertisements().size();
  child<QPushButton>(*window, "retryBonjour")->click();
  EXPECT_TRUE(waitUntil([&] { return !shown(window->findChild<QWidget*>("retryBonjour")); }));
  EXPECT_EQ(bonjour->advertisements().size(), before + 1);

  thread.onMain([&] { services->video->captureError.set("Screen capture failed"); });
  window->refresh();
  EXPECT_EQ(child<Indicator>(*window, "videoIndicator")->color(), kRed);

  // Without a helper session there is no gamepad to destroy.
  EXPECT_FALSE(shown(child(*window, "destroyGamepad")));
}

TEST_F(StatusWindowTest, LogVideoStatsHidesTheGraphAtOnceAndIsKept) {
  startServices();
  thread.onMain([&] { services->setVideoDiagnosticsEnabled(true); });
  // A client streams: what the video server publishes while one is connected.
  video::VideoStreamStats stats;
  stats.setTargetIntervalMs(1000.0 / 60);
  for (int i = 0; i < 90; ++i) {
    stats.recordFrameCapture(static_cast<uint64_t>(i) * 16667, i / 60.0);
    stats.recordFrameSend(static_cast<uint64_t>(i) * 16667, i / 60.0 + 0.004 + (i % 7) * 0.0005);
  }
  thread.onMain([&] {
    services->video->clientDescription.set("127.0.0.1:50000 (udp_arq)");
    services->video->statsSnapshot.set(stats.snapshot());
  });
  auto window = makeWindow();
  auto* box = child<QCheckBox>(*window, "logVideoStats");
  EXPECT_TRUE(box->isChecked());
  EXPECT_TRUE(shown(child(*window, "pacingGraph")));
  EXPECT_TRUE(shown(child(*window, "client")));
  EXPECT_EQ(child<Indicator>(*window, "videoIndicator")->color(), kGreen);
  // The capture intervals are drawn in the plot, above the labels (which share their colour).
  auto* graph = child(*window, "pacingGraph");
  graph->resize(360, 170);
  const QImage drawn = graph->grab().toImage();
  int blue = 0;
  for (int y = 0; y < drawn.height() / 2; ++y)
    for (int x = 0; x < drawn.width(); ++x) {
      const QColor c = drawn.pixelColor(x, y);
      blue += c.blue() - c.red() > 60 && c.blue() > c.green();
    }
  EXPECT_GT(blue, 100);

  box->click();  // off: gone before the services have even heard of it
  EXPECT_FALSE(shown(child(*window, "pacingGraph")));
  window->refresh();
  EXPECT_FALSE(shown(child(*window, "pacingGraph")));
  // Kept: the next start reads it (the end-to-end audio tests start hosts with it stored).
  EXPECT_TRUE(waitUntil([&] {
    return !common::SettingsStore(dir / "config").boolValue("ferrowin.video.diagnostics", true);
  }));
}

}  // namespace
}  // namespace ferrowin::ui
