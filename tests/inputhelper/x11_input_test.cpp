// Keyboard injection: the keyboard tables (a few representative rows and the edges of each, not
// the tables again), then the XTest backends and the keyboard injector against a private Xvfb,
// observed by a real X client window. (The keyboard keeps its own copy of the gamepad's sequence
// rule, whose edges are in applier_test.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/runtime/clock.h"
#include "inputhelper/keyboard_injector.h"
#include "inputhelper/keyboard_tables.h"
#include "platform/input_injection.h"
#include "platform/linux/x11_test_client.h"
#include "platform/linux/x11_windows.h"
#include "tests/inputhelper/xvfb_display.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::inputhelper {
namespace {

TEST(KeyboardTables, USKeystrokesAndAltCodesCoverExactlyTheirCharacters) {
  int keystrokes = 0, altCodes = 0;
  for (char32_t scalar = 0; scalar < 0x3000; ++scalar) {
    keystrokes += usKeystroke(scalar).has_value();
    altCodes += altCode(scalar).has_value();
  }
  EXPECT_EQ(keystrokes, 95);  // printable ASCII only: no tab, newline or é
  EXPECT_EQ(altCodes, 104);   // Latin-1 from U+00A0 and eight Windows-1252 extras
  EXPECT_FALSE(usKeystroke(U'\t'));
  EXPECT_EQ(usKeystroke(U'A'), (USKeystroke{0, kShiftFlag}));
  // The number row is not in order on this keyboard: 6 comes before 5.
  EXPECT_EQ(usKeystroke(U'6'), (USKeystroke{22, 0}));
  EXPECT_EQ(usKeystroke(U'%'), (USKeystroke{23, kShiftFlag}));
  EXPECT_EQ(altCode(U'\u00E9'), "0233");
  EXPECT_EQ(altCode(U'\u20AC'), "0128");
  EXPECT_FALSE(altCode(U'\u201A'));  // in Windows-1252, but not in the table
  EXPECT_FALSE(altCode(U'\u009F'));
  // Every key of the US keystroke table has a keysym.
  for (char32_t scalar = 0x20; scalar < 0x7F; ++scalar) {
    EXPECT_TRUE(keysymForKeyCode(usKeystroke(scalar)->keyCode)) << static_cast<int>(scalar);
  }
}

// Wine's preloader is recognised from a real window (WindowsOfACompatibilityLayerGetAltCodes);
// here, another layer's path, and a name that only looks alike.
TEST(KeyboardTables, CompatibilityLayerPaths) {
  EXPECT_TRUE(isCompatibilityLayerPath("/home/u/.local/share/PlayOnMac/wine"));
  EXPECT_FALSE(isCompatibilityLayerPath("/usr/bin/winecfg-helper"));
}

using platform::InjectionPoint;
using platform::PointerButton;
using platform::PointerEventType;
using platform::x11::TestButtonEvent;
using platform::x11::TestKeyEvent;
using platform::x11::X11TestClient;
using platform::x11::X11Connection;
using platform::x11::frontmostWindow;

constexpr uint32_t kShiftL = 0xffe1, kAltL = 0xffe9;
constexpr uint16_t kShiftMask = 1, kMod1Mask = 8;

// What a window sees typed: the character of every key press that is not a modifier.
std::u32string typedText(const std::vector<TestKeyEvent>& events) {
  std::u32string text;
  for (const TestKeyEvent& event : events) {
    const bool modifier = event.keysym >= 0xffe1 && event.keysym <= 0xffee;
    if (!event.press || modifier) continue;
    if (event.keysym == 0xff09) {
      text += U'\t';
    } else if (event.keysym >= 0x01000000) {
      text += static_cast<char32_t>(event.keysym - 0x01000000);
    } else {
      text += static_cast<char32_t>(event.keysym);
    }
  }
  return text;
}

class X11InputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new testing::XvfbDisplay();
    if (!xvfb_->name().empty()) setenv("DISPLAY", xvfb_->name().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete xvfb_;
    xvfb_ = nullptr;
  }
  void SetUp() override {
    if (xvfb_->name().empty())
      GTEST_SKIP() << "no X server for the XTest tests: " << xvfb_->error();
    client_ = X11TestClient::open(xvfb_->name());
    ASSERT_TRUE(client_) << "test window on " << xvfb_->name();
  }

  static testing::XvfbDisplay* xvfb_;
  std::unique_ptr<X11TestClient> client_;
  common::ManualClock clock_;
};

testing::XvfbDisplay* X11InputTest::xvfb_ = nullptr;

// Characters on no key of a US map are typed on borrowed keycodes. The keymap gets them back a
// pause after typing, or, for a key held on one, a pause after it is let go of.
TEST_F(X11InputTest, KeysTextAndBorrowedKeycodesUntilTheKeymapIsRestored) {
  const std::vector<uint32_t> keymapBefore = client_->keymap();
  KeyboardInjector keyboard(platform::makeX11KeyInjector(), &clock_);
  keyboard.handleKey({1, 56, 1});  // Shift down, a down, a up, Shift up: "A"
  keyboard.handleKey({1, 0, 2});
  keyboard.handleKey({1, 0, 3});  // a repeat of the held key: not pressed twice
  keyboard.handleKey({0, 0, 4});
  keyboard.handleKey({1, 0, 2});  // a late duplicate of the press: dropped
  keyboard.handleKey({0, 56, 5});
  // Text has a filter of its own: its sequence 1 is new, and a second text 1 is dropped.
  keyboard.typeText(1, "Hi ");
  keyboard.typeText(1, "x");
  keyboard.typeText(2, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\t");
  keyboard.flush();

  // The window reads each keysym under the state the key came with: Shift on A and H only.
  EXPECT_EQ(typedText(client_->waitForKeys(20, 5.0)), U"AHi \u00E9\u20AC\U0001F600\t");
  // é, € and the emoji are on no key of a US map: they were typed on borrowed keycodes.
  EXPECT_NE(client_->keymap(), keymapBefore);
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay);
  keyboard.flush();
  EXPECT_EQ(client_->keymap(), keymapBefore);
  EXPECT_TRUE(client_->keysDown().empty());

  // Far more distinct characters than spare keycodes reuse them, one text at a time so the window
  // reads each before its keycodes are borrowed again.
  client_->clearEvents();
  std::u32string expected;
  uint32_t sequence = 3;
  for (char32_t scalar = U'\u0400'; scalar < U'\u0440'; ++scalar) {
    std::string text = {static_cast<char>(0xC0 | (scalar >> 6)),
                        static_cast<char>(0x80 | (scalar & 0x3F))};
    keyboard.typeText(sequence++, text);
    keyboard.flush();
    expected += scalar;
    ASSERT_EQ(typedText(client_->waitForKeys(expected.size() * 2, 5.0)), expected);
  }
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay);
  keyboard.flush();
  EXPECT_EQ(client_->keymap(), keymapBefore);

  // A held key keeps its borrowed keycode until released.
  client_->clearEvents();
  keyboard.handleKey({1, 10, 6});  // the ISO section key: no key of a US map
  keyboard.flush();
  const auto held = client_->waitForKeys(1, 5.0);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].keysym, 0xa7u);  // §
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay);
  keyboard.flush();
  ASSERT_EQ(client_->keysDown().size(), 1u);
  EXPECT_NE(client_->keymap(), keymapBefore);  // still held: the keycode keeps its keysym

  // The session ends with it held: it is let go of, and then its keycode is given back.
  testing::LogCapture log;
  keyboard.releaseAll();
  keyboard.flush();
  EXPECT_TRUE(log.contains("Released 1 held key(s) (session end)"));
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay);
  keyboard.flush();
  EXPECT_TRUE(client_->keysDown().empty());
  EXPECT_EQ(client_->keymap(), keymapBefore);
}

// The pointer lands where it is posted and its buttons arrive; the display going away and coming
// back is noticed on the next call.
TEST_F(X11InputTest, PointerAndKeysWhileTheDisplayIsReachableUnreachableAndBack) {
  auto pointer = platform::makeX11PointerInjector();
  ASSERT_TRUE(pointer->accessibilityTrusted());
  EXPECT_TRUE(pointer->post(PointerEventType::moved, {321.4, 123.6}, PointerButton::left, 1));
  EXPECT_EQ(client_->pointer(), (std::pair{321, 124}));
  EXPECT_EQ(pointer->cursorPosition(), (InjectionPoint{321, 124}));

  pointer->post(PointerEventType::leftDown, {100, 200}, PointerButton::left, 1);
  pointer->post(PointerEventType::leftDragged, {150, 220}, PointerButton::left, 1);
  pointer->post(PointerEventType::leftUp, {150, 220}, PointerButton::left, 1);
  pointer->post(PointerEventType::rightDown, {10, 20}, PointerButton::right, 1);
  pointer->post(PointerEventType::rightUp, {10, 20}, PointerButton::right, 1);
  pointer->post(PointerEventType::otherDown, {30, 40}, PointerButton::middle, 1);
  pointer->post(PointerEventType::otherDragged, {35, 45}, PointerButton::middle, 1);
  pointer->post(PointerEventType::otherUp, {35, 45}, PointerButton::middle, 1);
  EXPECT_EQ(client_->waitForButtons(6, 5.0), (std::vector<TestButtonEvent>{{true, 1, 100, 200},
                                                                           {false, 1, 150, 220},
                                                                           {true, 3, 10, 20},
                                                                           {false, 3, 10, 20},
                                                                           {true, 2, 30, 40},
                                                                           {false, 2, 35, 45}}));

  // An unreachable display is not trusted.
  setenv("DISPLAY", ":65000", 1);
  std::shared_ptr<platform::KeyInjector> keys = platform::makeX11KeyInjector();
  pointer = platform::makeX11PointerInjector();
  EXPECT_FALSE(keys->accessibilityTrusted());
  EXPECT_FALSE(keys->key('a', true));
  EXPECT_FALSE(keys->frontmostExecutable());
  // The keyboard drops what it cannot type and says why once, not once per packet.
  testing::LogCapture log;
  KeyboardInjector keyboard(keys, &clock_);
  keyboard.handleKey({1, 0, 1});
  keyboard.typeText(1, "a");
  keyboard.flush();
  const auto messages = log.messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       "Keyboard injection requires Accessibility permission (System Settings › "
                       "Privacy & Security › Accessibility)"),
            1);
  EXPECT_FALSE(pointer->accessibilityTrusted());
  EXPECT_FALSE(pointer->post(PointerEventType::moved, {1, 1}, PointerButton::left, 1));
  EXPECT_FALSE(pointer->cursorPosition());

  // The display is asked again on every call: once it can be reached, the same injectors work.
  setenv("DISPLAY", xvfb_->name().c_str(), 1);
  EXPECT_TRUE(keys->accessibilityTrusted());
  EXPECT_TRUE(pointer->post(PointerEventType::moved, {7, 8}, PointerButton::left, 1));
  EXPECT_EQ(client_->pointer(), (std::pair{7, 8}));
}

TEST_F(X11InputTest, WindowsOfACompatibilityLayerGetAltCodes) {
  testing::TempDir dir;
  // What /proc/<pid>/exe shows for a program run by Wine: its preloader.
  const std::filesystem::path program = dir / "wine-preloader";
  std::filesystem::copy_file("/bin/sleep", program);
  const pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), "wine-preloader", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  client_->setPid(static_cast<uint32_t>(child));
  // A window above it that belongs to this process is passed over; it has the focus.
  auto own = X11TestClient::open(xvfb_->name());
  ASSERT_TRUE(own);
  own->setPid(static_cast<uint32_t>(getpid()));

  std::shared_ptr<platform::KeyInjector> keys = platform::makeX11KeyInjector();
  std::optional<std::string> frontmost;
  for (int attempt = 0; attempt < 200 && frontmost != program.string(); ++attempt) {
    frontmost = keys->frontmostExecutable();  // the child may not have run exec yet
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(frontmost, program.string());

  // The front application's identity for the host: its executable and its window class.
  client_->setWindowClass("wine64.exe", "Wine");
  auto connection = X11Connection::open(xvfb_->name());
  ASSERT_TRUE(connection);
  auto front = frontmostWindow(*connection);
  ASSERT_TRUE(front);
  EXPECT_EQ(front->executable, program.string());
  EXPECT_EQ(front->instanceName, "wine64.exe");
  EXPECT_EQ(front->className, "Wine");

  // é → Alt + 0233 on the keypad, with the held Shift let go of for it and pressed again after.
  KeyboardInjector keyboard(keys, &clock_);
  keyboard.handleKey({1, 56, 1});
  keyboard.typeText(1, "\xC3\xA9");
  keyboard.flush();
  const auto events = own->waitForKeys(13, 5.0);
  std::vector<uint32_t> pressed;
  for (const TestKeyEvent& event : events) {
    if (event.press) pressed.push_back(event.keysym);
  }
  EXPECT_EQ(pressed,
            (std::vector<uint32_t>{kShiftL, kAltL, 0xffb0, 0xffb2, 0xffb3, 0xffb3, kShiftL}));
  for (const TestKeyEvent& event : events) {
    if (event.keysym >= 0xffb0 && event.keysym <= 0xffb9) {
      EXPECT_TRUE(event.state & kMod1Mask);
      EXPECT_FALSE(event.state & kShiftMask);
    }
  }

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace ferrowin::inputhelper
