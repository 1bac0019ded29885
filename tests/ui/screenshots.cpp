// Renders the shell's windows in their main states to PNGs (scripts/screenshots): the status
// window streaming with the pacing graph, idle, and with setup incomplete, and the setup window.
// The services are real (synthetic capture, no network beyond loopback); the platform checks are
// set per picture, and the streaming picture's client and statistics are what the video server
// publishes while one streams at 60 fps.

#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "server/app/host_services.h"
#include "server/ui/setup_window.h"
#include "server/ui/status_window.h"
#include "tests/app/setup_test_support.h"

using namespace ferrowin;

namespace {

struct Host {
  Host(const std::filesystem::path& dir, bool complete, std::optional<std::string> powerSaving)
      : settings(dir / "config") {
    checks->screenCapture = complete;
    checks->inputInjection = complete;
    checks->powerSaving = std::move(powerSaving);
    (void)settings.setBool(app::kOnboardingCompletedKey, complete);
    (void)settings.setString("ferrowin.video.transport", "udp_fec");
    bonjour->immediateEvent = platform::BonjourEvent{platform::BonjourEvent::Kind::added, ""};
    services = thread.onMain([&] {
      return app::HostServices::create({.main = &thread.main,
                                        .settings = &settings,
                                        .dataDirectory = dir / "data",
                                        .controlPort = 0,
                                        .bonjour = bonjour,
                                        .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                        .inputHelperPath = dir / "no-helper",
                                        .setupChecks = checks,
                                        .interactiveSetup = true});
    });
    thread.onMain([&] { services->startServices(); });
  }
  ~Host() {
    thread.onMain([&] {
      services->holdServices();
      services.reset();
    });
  }
  common::SettingsStore settings;
  std::shared_ptr<platform::FixedSetupChecks> checks =
      std::make_shared<platform::FixedSetupChecks>();
  std::shared_ptr<platform::FakeBonjour> bonjour = std::make_shared<platform::FakeBonjour>();
  testing::MainThread thread;
  std::shared_ptr<app::HostServices> services;
};

bool save(QWidget& widget, const std::filesystem::path& file) {
  widget.show();
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  widget.adjustSize();
  QCoreApplication::processEvents();
  if (!widget.grab().save(QString::fromStdString(file.string()), "PNG")) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
    return false;
  }
  std::printf("%s\n", file.c_str());
  widget.hide();
  return true;
}

// Frames captured and sent at 60 fps, with the jitter of a real send path.
video::VideoStreamStatsSnapshot streamingStatistics() {
  video::VideoStreamStats stats;
  stats.setTargetIntervalMs(1000.0 / 60);
  for (int i = 0; i < 150; ++i) {
    const double t = i / 60.0 + ((i * 37) % 11) * 0.00015;
    stats.recordFrameCapture(static_cast<uint64_t>(i) * 16667, t);
    stats.recordFrameSend(static_cast<uint64_t>(i) * 16667, t + 0.006 + ((i * 53) % 13) * 0.0003);
    stats.recordEncodeDuration(4.5 + ((i * 29) % 9) * 0.2);
  }
  return stats.snapshot();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  const std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  testing::TempDir dir;
  bool ok = true;
  auto quit = [] {};
  {
    Host host(dir / "streaming", true, std::nullopt);
    host.thread.onMain([&] {
      host.services->setVideoDiagnosticsEnabled(true);
      host.services->video->clientDescription.set("iPhone 192.168.1.23 · udp_fec 1920×1080 @ 60");
      host.services->video->statusMessage.set("Streaming to 192.168.1.23");
      host.services->video->statsSnapshot.set(streamingStatistics());
    });
    ui::StatusWindow window({&host.thread.main, host.services}, quit);
    ok &= save(window, out / "status-streaming.png");
  }
  {
    Host host(dir / "idle", true, std::nullopt);
    ui::StatusWindow window({&host.thread.main, host.services}, quit);
    ok &= save(window, out / "status-idle.png");
  }
  {
    Host host(dir / "incomplete", false, "wlp3s0");
    ui::StatusWindow window({&host.thread.main, host.services}, quit);
    ok &= save(window, out / "status-setup-incomplete.png");
  }
  {
    Host host(dir / "setup", false, "wlp3s0");
    host.checks->screenCapture = true;  // the display is there, XTEST is not
    host.thread.onMain([&] { host.services->permissions->refresh(); });
    ui::SetupWindowView window({&host.thread.main, host.services}, quit);
    ok &= save(window, out / "setup.png");
  }
  return ok ? 0 : 1;
}
