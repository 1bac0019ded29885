#include "inputhelper/keyboard_injector.h"

#include <gtest/gtest.h>

#include "common/runtime/clock.h"
#include "platform/fake/recording_injectors.h"
#include "tests/support/log_capture.h"

namespace ferrowin::inputhelper {
namespace {

using platform::RecordedKey;

constexpr uint32_t kShiftL = 0xffe1, kAltL = 0xffe9;
constexpr uint32_t kKeypad0 = 0xffb0;
constexpr uint8_t kDown = 1, kUp = 0;
constexpr const char* kPermissionError =
    "Keyboard injection requires Accessibility permission (System Settings › Privacy & Security "
    "› Accessibility)";

RecordedKey down(uint32_t keysym) { return {keysym, true}; }
RecordedKey up(uint32_t keysym) { return {keysym, false}; }
std::vector<RecordedKey> tap(uint32_t keysym) { return {down(keysym), up(keysym)}; }

std::vector<RecordedKey> operator+(std::vector<RecordedKey> a, const std::vector<RecordedKey>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class KeyboardInjectorTest : public ::testing::Test {
 protected:
  void key(uint16_t keyCode, uint8_t flags, uint32_t sequence) {
    injector_.handleKey({flags, keyCode, sequence});
    injector_.flush();
  }
  std::vector<RecordedKey> keys() {
    injector_.flush();
    return keys_->keys();
  }
  std::vector<RecordedKey> typed(const std::string& text, uint32_t sequence = 0) {
    keys_->clear();
    injector_.typeText(sequence, text);
    return keys();
  }
  // A keypad code as the Alt-code path types it: each digit tapped on the keypad.
  static std::vector<RecordedKey> altDigits(const std::string& code) {
    std::vector<RecordedKey> out;
    for (char digit : code) out = out + tap(kKeypad0 + static_cast<uint32_t>(digit - '0'));
    return out;
  }

  common::ManualClock clock_;
  std::shared_ptr<platform::RecordingKeyInjector> keys_ =
      std::make_shared<platform::RecordingKeyInjector>();
  KeyboardInjector injector_{keys_, &clock_};
};

TEST_F(KeyboardInjectorTest, HeldKeysSuppressRepeatsAndStrayReleasesAndModifiersAreRealKeys) {
  key(56, kDown, 1);
  key(0, kDown, 2);
  key(0, kDown, 3);
  key(1, kUp, 4);
  key(0, kUp | 0xFE, 5);  // bits other than 0 mean nothing
  key(0, kUp, 6);
  key(56, kUp, 7);
  // The events' flags are carried by Shift itself being down: nothing is pressed twice.
  EXPECT_EQ(keys(), (std::vector<RecordedKey>{down(kShiftL), down('a'), up('a'), up(kShiftL)}));
}

TEST_F(KeyboardInjectorTest, TextPressesShiftOnlyWhileNeededAndKeepsHeldModifiers) {
  EXPECT_EQ(typed("aBC d"), tap('a') + std::vector{down(kShiftL)} + tap('b') + tap('c') +
                                std::vector{up(kShiftL)} + tap(' ') + tap('d'));
  EXPECT_EQ(typed("!"), std::vector{down(kShiftL)} + tap('1') + std::vector{up(kShiftL)});
  key(55, kDown, 1);  // Command stays held around the text
  EXPECT_EQ(typed("A"), std::vector{down(kShiftL)} + tap('a') + std::vector{up(kShiftL)});
  key(60, kDown, 2);  // right Shift is Shift as well
  EXPECT_EQ(typed("Ab"), tap('a') + tap('b'));
}

TEST_F(KeyboardInjectorTest, CharactersOffTheUSKeyboard) {
  // Their own keysym, or in a compatibility layer's window an Alt code on the keypad, with any
  // other held modifier let go of for it and pressed again after.
  const std::optional<std::string> wine = "/opt/wine-staging/bin/wine64-preloader";
  const std::vector<RecordedKey> alt = {down(kAltL)}, altUp = {up(kAltL)};
  struct Case {
    const char* what;
    std::optional<std::string> frontmost;
    std::optional<uint16_t> held;
    std::string text;
    std::vector<RecordedKey> expected;
  };
  const Case cases[] = {
      {"é", "/usr/bin/gedit", {}, "\xC3\xA9", tap(0xe9)},
      {"tab, return, emoji", "/usr/bin/gedit", {}, "\t\n\xF0\x9F\x98\x80",
       tap(0xff09) + tap(0xff0d) + tap(0x101f600)},
      {"no frontmost program", std::nullopt, {}, "\xC3\xA9", tap(0xe9)},
      {"é in Wine", wine, {}, "\xC3\xA9", alt + altDigits("0233") + altUp},
      {"€ in Wine", wine, {}, "\xE2\x82\xAC", alt + altDigits("0128") + altUp},
      {"‚ has no Alt code", wine, {}, "\xE2\x80\x9A", tap(0x100201a)},
      {"ASCII in Wine", wine, {}, "e", tap('e')},
      {"Shift held", wine, 56, "\xC3\xA9",
       std::vector{up(kShiftL), down(kAltL)} + altDigits("0233") + std::vector{up(kAltL), down(kShiftL)}},
      {"Option held stays held", wine, 58, "\xC3\xA9",
       altDigits("0233") + std::vector{up(kAltL), down(kAltL)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KeyboardInjector injector(keys_, &clock_);
    keys_->setFrontmostExecutable(c.frontmost);
    if (c.held) injector.handleKey({kDown, *c.held, 1});
    injector.flush();
    keys_->clear();
    injector.typeText(1, c.text);
    injector.flush();
    EXPECT_EQ(keys_->keys(), c.expected);
  }
}

TEST_F(KeyboardInjectorTest, TheFrontmostProgramIsAskedAtMostOnceATextAndOnlyWhenItMatters) {
  keys_->setFrontmostExecutable("/usr/bin/wine64");
  typed("plain ASCII \xE2\x80\x9A");  // ‚ has no Alt code: the answer would change nothing
  EXPECT_EQ(keys_->frontmostQueries(), 0);
  typed("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(keys_->frontmostQueries(), 1);
}

TEST_F(KeyboardInjectorTest, SequenceFiltersDropDuplicatesAndLateOnes) {
  key(0, kDown, 100);
  key(0, kUp, 100);  // duplicate
  key(0, kUp, 50);   // late
  key(0, kUp, 101);
  EXPECT_EQ(keys(), tap('a'));

  keys_->clear();
  key(1, kDown, 5000);
  key(1, kUp, 3000);  // more than 1024 behind: a new stream
  key(2, kDown, 0);   // a client restart
  key(2, kUp, 1);
  EXPECT_EQ(keys(), tap('s') + tap('d'));

  // Text has its own filter: sequence 1 is new there.
  EXPECT_EQ(typed("x", 1), tap('x'));
  EXPECT_EQ(typed("y", 1), std::vector<RecordedKey>{});
  EXPECT_EQ(typed("z", 2), tap('z'));
}

TEST_F(KeyboardInjectorTest, ReleaseAllLetsGoOfEverythingAndResetsTheFilters) {
  testing::LogCapture log;
  key(56, kDown, 10);
  key(0, kDown, 11);
  key(63, kDown, 12);  // fn: held, though there is no key to press
  keys_->clear();
  injector_.releaseAll();
  auto released = keys();
  std::sort(released.begin(), released.end(), [](auto& a, auto& b) { return a.keysym < b.keysym; });
  EXPECT_EQ(released, (std::vector<RecordedKey>{up('a'), up(kShiftL)}));
  EXPECT_TRUE(log.contains("Released 3 held key(s) (session end)"));

  // Filters start afresh: sequence 5 after 12 would otherwise be dropped.
  keys_->clear();
  key(0, kDown, 5);
  injector_.typeText(5, "b");
  EXPECT_EQ(keys(), std::vector{down('a')} + tap('b'));

  // With nothing held it says nothing.
  key(0, kUp, 6);
  const size_t said = log.messages().size();
  injector_.releaseAll();
  injector_.flush();
  EXPECT_EQ(log.messages().size(), said);
}

TEST_F(KeyboardInjectorTest, WithoutTrustThePacketsAreDroppedAfterOneErrorYetAdvanceTheFilter) {
  testing::LogCapture log;
  keys_->setTrusted(false);
  key(0, kDown, 10);
  injector_.typeText(10, "a");
  key(0, kDown, 11);
  injector_.flush();
  int errors = 0;
  for (const auto& message : log.messages()) errors += message == kPermissionError;
  EXPECT_EQ(errors, 1);

  keys_->setTrusted(true);
  key(0, kDown, 11);  // already seen while untrusted
  injector_.typeText(10, "b");
  EXPECT_EQ(keys(), std::vector<RecordedKey>{});
  key(0, kDown, 12);
  EXPECT_EQ(keys(), std::vector{down('a')});
}

TEST_F(KeyboardInjectorTest, RemappedKeysAreRestoredAMomentAfterTheLastEvent) {
  typed("\xC3\xA9");
  EXPECT_EQ(keys_->restoreCount(), 0);
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay / 2);
  typed("\xC3\xA9");  // pushes the restore further out
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay * 0.75);
  injector_.flush();
  EXPECT_EQ(keys_->restoreCount(), 0);
  clock_.advance(KeyboardInjector::kKeymapRestoreDelay);
  injector_.flush();
  EXPECT_EQ(keys_->restoreCount(), 1);
}

TEST(KeyboardInjectorLifetime, DestructionFinishesQueuedWorkAndCancelsTheRestore) {
  auto keys = std::make_shared<platform::RecordingKeyInjector>();
  common::ManualClock clock;
  {
    KeyboardInjector injector(keys, &clock);
    for (uint32_t i = 1; i <= 200; ++i) injector.typeText(i, "ab");
  }
  clock.advance(10);  // the restore timer went with the injector
  EXPECT_EQ(keys->restoreCount(), 0);
  EXPECT_EQ(keys->keys().size(), 200u * 4);
}

}  // namespace
}  // namespace ferrowin::inputhelper
