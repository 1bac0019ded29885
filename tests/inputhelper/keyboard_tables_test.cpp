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

}  // namespace
}  // namespace ferrowin::inputhelper
