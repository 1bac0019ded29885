#include "tests/inputhelper/xvfb_display.h"

namespace ferrowin::testing {

XvfbDisplay::XvfbDisplay()
    : XServer("Xvfb", {"-screen", "0", "1280x720x24", "-nolisten", "tcp", "-noreset"}) {}

}  // namespace ferrowin::testing
