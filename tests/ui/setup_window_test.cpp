// The setup window against the real services and the real helper's gamepad probe (on the fake
// kernel), with the platform's checks as the seam.

#include "server/ui/setup_window.h"

#include <QLabel>
#include <QPushButton>

#include "tests/ui/ui_test_support.h"

namespace ferrowin::ui {
namespace {

class SetupWindowTest : public ShellTest {
 protected:
  /// The services with the window attached, launched as the shell launches them.
  void launch() {
    services = makeServices();
    window = std::make_unique<SetupWindowView>(shell(), [this] { ++quits; });
    thread.onMain([&] {
      services->onboarding->setWindow(window->presenterWindow());
      services->onboarding->presentIfNeeded();
      services->startServices();
    });
  }
  QPushButton* button(const char* name) { return window->findChild<QPushButton*>(name); }
  QString gamepadText() { return window->findChild<QLabel*>("explanation3")->text(); }

  std::unique_ptr<SetupWindowView> window;
  int quits = 0;
};

// Closing setup quits; "Get Started" waits for the gamepad test to pass.
TEST_F(SetupWindowTest, CloseQuitsAndGetStartedWaitsForTheGamepadTest) {
  grantEverything();
  ::setenv("FERROWIN_UHID_SOCKET", (dir / "no-uhid").c_str(), 1);  // the test fails
  launch();
  ASSERT_TRUE(waitUntil([&] { return window->isVisible(); }));
  window->close();
  EXPECT_EQ(quits, 1);
  EXPECT_TRUE(window->isVisible());  // the window stays until the host has quit
  ASSERT_TRUE(
      waitUntil([&] { return thread.onMain([&] { return !services->permissions->probing(); }); }));
  window->refresh();
  EXPECT_TRUE(gamepadText().startsWith("Could not create a virtual gamepad."))
      << gamepadText().toStdString();
  EXPECT_FALSE(button("getStarted")->isEnabled());
  EXPECT_EQ(button("enableScreenRecording")->text(), "Enabled");
  // Clicking anyway (the click is refused by the presenter too) changes nothing.
  thread.onMain([&] { services->onboarding->getStarted(); });
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(services->control->isRunning.get());

  // /dev/uhid fixed; Accessibility's button probes the helper again (with the prompt), and the
  // setup window's refresh runs the HID test, which now passes.
  ::setenv("FERROWIN_UHID_SOCKET", kernel.path().c_str(), 1);
  thread.onMain([&] { services->permissions->startHIDProbe(false, true); });
  ASSERT_TRUE(waitUntil([&] {
    window->refresh();
    return button("getStarted")->isEnabled();
  }));
  button("getStarted")->click();
  EXPECT_TRUE(waitUntil([&] { return !window->isVisible(); }));
  EXPECT_TRUE(waitUntil([&] { return services->control->isRunning.get(); }));
  EXPECT_TRUE(settings.boolValue(app::kOnboardingCompletedKey, false));
}

}  // namespace
}  // namespace ferrowin::ui
