#pragma once
// A private Xvfb (1280 × 720) for system tests.

#include "tests/support/x_server.h"

namespace ferrowin::testing {

class XvfbDisplay : public XServer {
 public:
  XvfbDisplay();
};

}  // namespace ferrowin::testing
