#include "inputhelper/keyboard_tables.h"

#include <gtest/gtest.h>

namespace ferrowin::inputhelper {
namespace {

TEST(KeyboardTables, USKeystrokeTableHoldsThePrintableASCIICharactersOnly) {
  int entries = 0;
  for (char32_t scalar = 0; scalar < 0x3000; ++scalar) {
    if (usKeystroke(scalar)) ++entries;
  }
  EXPECT_EQ(entries, 95);
  EXPECT_FALSE(usKeystroke(U'\t'));
  EXPECT_FALSE(usKeystroke(U'\n'));
  EXPECT_FALSE(usKeystroke(U'\r'));
  EXPECT_FALSE(usKeystroke(U'\u00E9'));

  EXPECT_EQ(usKeystroke(U'a'), (USKeystroke{0, 0}));
  EXPECT_EQ(usKeystroke(U'A'), (USKeystroke{0, kShiftFlag}));
  EXPECT_EQ(usKeystroke(U' '), (USKeystroke{49, 0}));
  EXPECT_EQ(usKeystroke(U'~'), (USKeystroke{50, kShiftFlag}));
  // The number row is not in order on this keyboard: 6 comes before 5, 9 before 7.
  EXPECT_EQ(usKeystroke(U'6'), (USKeystroke{22, 0}));
  EXPECT_EQ(usKeystroke(U'%'), (USKeystroke{23, kShiftFlag}));
  EXPECT_EQ(usKeystroke(U'('), (USKeystroke{25, kShiftFlag}));
  EXPECT_EQ(usKeystroke(U'"'), (USKeystroke{39, kShiftFlag}));
  EXPECT_EQ(usKeystroke(U'|'), (USKeystroke{42, kShiftFlag}));
}

TEST(KeyboardTables, AltCodesCoverLatin1AndTheEightWindows1252Extras) {
  int entries = 0;
  for (char32_t scalar = 0; scalar < 0x3000; ++scalar) {
    if (altCode(scalar)) ++entries;
  }
  EXPECT_EQ(entries, 104);
  EXPECT_EQ(altCode(U'\u00A0'), "0160");
  EXPECT_EQ(altCode(U'\u00E9'), "0233");
  EXPECT_EQ(altCode(U'\u00FF'), "0255");
  EXPECT_EQ(altCode(U'\u20AC'), "0128");
  EXPECT_EQ(altCode(U'\u0178'), "0159");
  EXPECT_FALSE(altCode(U'\u201A'));  // in Windows-1252, but not in the table
  EXPECT_FALSE(altCode(U'\u009F'));
  EXPECT_FALSE(altCode(U'a'));
}

TEST(KeyboardTables, KeypadDigitsSkipKeyCode90) {
  EXPECT_EQ(keypadKeyCode('0'), 82);
  EXPECT_EQ(keypadKeyCode('7'), 89);
  EXPECT_EQ(keypadKeyCode('8'), 91);
  EXPECT_EQ(keypadKeyCode('9'), 92);
  EXPECT_FALSE(keypadKeyCode('a'));
  EXPECT_FALSE(keypadKeyCode('/'));
}

TEST(KeyboardTables, ModifierFlagsComeFromBothHandsAndNothingElse) {
  EXPECT_EQ(heldModifierFlags({56}), kShiftFlag);
  EXPECT_EQ(heldModifierFlags({60, 62}), kShiftFlag | kControlFlag);
  EXPECT_EQ(heldModifierFlags({58, 61, 54}), kOptionFlag | kCommandFlag);
  EXPECT_EQ(heldModifierFlags({55, 59, 0, 12}), kCommandFlag | kControlFlag);
  EXPECT_EQ(heldModifierFlags({57, 63, 0}), 0u);  // caps lock and fn set no flag
  EXPECT_EQ(modifierKeyCode(kOptionFlag), 58);
  EXPECT_EQ(modifierKeyCode(kCommandFlag), 55);
}

TEST(KeyboardTables, KeyCodesMapToUSKeysyms) {
  EXPECT_EQ(keysymForKeyCode(0), 'a');
  EXPECT_EQ(keysymForKeyCode(22), '6');
  EXPECT_EQ(keysymForKeyCode(36), 0xff0du);   // Return
  EXPECT_EQ(keysymForKeyCode(51), 0xff08u);   // BackSpace
  EXPECT_EQ(keysymForKeyCode(117), 0xffffu);  // forward delete
  EXPECT_EQ(keysymForKeyCode(123), 0xff51u);  // Left
  EXPECT_EQ(keysymForKeyCode(122), 0xffbeu);  // F1
  EXPECT_EQ(keysymForKeyCode(111), 0xffc9u);  // F12
  EXPECT_EQ(keysymForKeyCode(56), 0xffe1u);   // Shift_L
  EXPECT_EQ(keysymForKeyCode(55), 0xffebu);   // Command → Super_L
  EXPECT_EQ(keysymForKeyCode(58), 0xffe9u);   // Option → Alt_L
  EXPECT_EQ(keysymForKeyCode(82), 0xffb0u);   // KP_0
  EXPECT_EQ(keysymForKeyCode(91), 0xffb8u);   // KP_8
  EXPECT_EQ(keysymForKeyCode(92), 0xffb9u);   // KP_9
  EXPECT_FALSE(keysymForKeyCode(63));         // fn
  EXPECT_FALSE(keysymForKeyCode(kNoKeyCode));
  EXPECT_FALSE(keysymForKeyCode(1000));
  // Every key of the US keystroke table has a keysym.
  for (char32_t scalar = 0x20; scalar < 0x7F; ++scalar) {
    EXPECT_TRUE(keysymForKeyCode(usKeystroke(scalar)->keyCode)) << static_cast<int>(scalar);
  }
}

TEST(KeyboardTables, CompatibilityLayerPaths) {
  EXPECT_TRUE(isCompatibilityLayerPath("/opt/cxoffice/bin/wine64-preloader"));
  EXPECT_TRUE(isCompatibilityLayerPath("/Applications/CrossOver.app/x"));
  EXPECT_TRUE(isCompatibilityLayerPath("/usr/lib/wine/x86_64-unix/wine"));
  EXPECT_TRUE(isCompatibilityLayerPath("/home/u/.local/share/PlayOnMac/wine"));
  EXPECT_TRUE(isCompatibilityLayerPath("/usr/bin/WINE64"));
  EXPECT_TRUE(isCompatibilityLayerPath("/usr/bin/wine-preloader"));
  EXPECT_TRUE(isCompatibilityLayerPath("/opt/wine-staging/bin/wine64-preloader"));
  EXPECT_TRUE(isCompatibilityLayerPath("/usr/local/bin/WINE-PRELOADER"));
  EXPECT_FALSE(isCompatibilityLayerPath("/usr/bin/winecfg-helper"));
  EXPECT_FALSE(isCompatibilityLayerPath("/usr/lib/firefox/firefox"));
  EXPECT_FALSE(isCompatibilityLayerPath(""));
}

TEST(KeyboardTables, Utf8DecodingMarksEveryBadByte) {
  EXPECT_EQ(utf8Scalars("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            (std::vector<char32_t>{U'a', U'\u00E9', U'\u20AC', U'\U0001F600'}));
  EXPECT_EQ(utf8Scalars("\xC0\xAF"), (std::vector<char32_t>{0xFFFD, 0xFFFD}));         // overlong
  EXPECT_EQ(utf8Scalars("\xED\xA0\x80"), (std::vector<char32_t>(3, 0xFFFD)));          // surrogate
  EXPECT_EQ(utf8Scalars("\xF4\x90\x80\x80"), (std::vector<char32_t>(4, 0xFFFD)));      // > U+10FFFF
  EXPECT_EQ(utf8Scalars("x\xE2\x82"), (std::vector<char32_t>{U'x', 0xFFFD, 0xFFFD}));  // cut off
  EXPECT_EQ(utf8Scalars(std::string_view("\0", 1)), (std::vector<char32_t>{0}));
}

}  // namespace
}  // namespace ferrowin::inputhelper
