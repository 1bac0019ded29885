// The keyboard tables: a few representative rows and the edges of each, not the tables again.
#include "inputhelper/keyboard_tables.h"

#include <gtest/gtest.h>

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
}

TEST(KeyboardTables, KeyCodesModifiersAndKeysyms) {
  EXPECT_EQ(keypadKeyCode('7'), 89);
  EXPECT_EQ(keypadKeyCode('8'), 91);  // key code 90 is skipped
  EXPECT_FALSE(keypadKeyCode('a'));
  EXPECT_EQ(heldModifierFlags({60, 62}), kShiftFlag | kControlFlag);  // both hands count
  EXPECT_EQ(heldModifierFlags({58, 61, 54}), kOptionFlag | kCommandFlag);
  EXPECT_EQ(heldModifierFlags({57, 63, 0}), 0u);  // caps lock and fn set no flag
  EXPECT_EQ(modifierKeyCode(kOptionFlag), 58);
  EXPECT_EQ(keysymForKeyCode(117), 0xffffu);  // forward delete
  EXPECT_EQ(keysymForKeyCode(55), 0xffebu);   // Command → Super_L
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
  for (const char* path :
       {"/opt/cxoffice/bin/wine64-preloader", "/Applications/CrossOver.app/x",
        "/home/u/.local/share/PlayOnMac/wine", "/usr/local/bin/WINE-PRELOADER"}) {
    EXPECT_TRUE(isCompatibilityLayerPath(path)) << path;
  }
  for (const char* path : {"/usr/bin/winecfg-helper", "/usr/lib/firefox/firefox", ""}) {
    EXPECT_FALSE(isCompatibilityLayerPath(path)) << path;
  }
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
