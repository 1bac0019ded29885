#pragma once
// The shell's windows under test: one QApplication on the offscreen platform, the real services
// on a main executor of their own thread (as in the shell), the platform checks as a seam.

#include <gtest/gtest.h>

#include <QApplication>
#include <QThread>
#include <chrono>
#include <cstdlib>

#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "server/app/host_services.h"
#include "server/ui/widgets.h"
#include "tests/app/setup_test_support.h"
#include "tests/support/fake_uhid_kernel.h"

namespace ferrowin::ui {

class ShellTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QApplication::instance()) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives for the whole run
  }

  ShellTest() { ::setenv("FERROWIN_UHID_SOCKET", kernel.path().c_str(), 1); }
  ~ShellTest() override {
    thread.onMain([&] {
      if (services) services->holdServices();
      services.reset();
    });
    ::unsetenv("FERROWIN_UHID_SOCKET");
  }

  std::shared_ptr<app::HostServices> makeServices() {
    return thread.onMain([&] {
      return app::HostServices::create({.main = &thread.main,
                                        .settings = &settings,
                                        .dataDirectory = dir / "data",
                                        .controlPort = 0,
                                        .bonjour = bonjour,
                                        .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                        .inputHelperPath = helperPath,
                                        .setupChecks = checks,
                                        .interactiveSetup = true});
    });
  }

  ShellServices shell() { return {&thread.main, services}; }

  /// Lets Qt run (queued calls, timers) until `predicate` holds, for up to `seconds`.
  template <class Predicate>
  static bool waitUntil(Predicate predicate, double seconds = 10.0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(5);
    }
    return true;
  }

  /// Every check passes: the display, XTEST, and (through the fake kernel) the gamepad.
  void grantEverything() {
    checks->screenCapture = true;
    checks->inputInjection = true;
  }

  testing::TempDir dir;
  common::SettingsStore settings{dir / "config"};
  testing::FakeUhidKernel kernel;
  std::filesystem::path helperPath = testing::privateHelperCopy(dir, "ui");
  std::shared_ptr<platform::FixedSetupChecks> checks =
      std::make_shared<platform::FixedSetupChecks>();
  std::shared_ptr<platform::FakeBonjour> bonjour = std::make_shared<platform::FakeBonjour>();
  testing::MainThread thread;
  std::shared_ptr<app::HostServices> services;
};

/// Shown to the user: not hidden itself, and neither is any parent up to the window.
inline bool shown(const QWidget* widget) {
  return widget && widget->isVisibleTo(widget->window());
}

}  // namespace ferrowin::ui
