#pragma once
// PointerInjector on X: XTest motion to absolute root-window coordinates and XTest button presses.
// X clients count multiple clicks themselves from the timing of presses, so the click state is
// not sent anywhere.

#include <string>

#include "platform/input_injection.h"
#include "platform/linux/x11_connection.h"

namespace ferrowin::platform::x11 {

class X11PointerInjector final : public PointerInjector {
 public:
  /// `display` empty: $DISPLAY. Nothing connects before the first call.
  explicit X11PointerInjector(std::string display) : display_(std::move(display)) {}

  bool accessibilityTrusted() override;
  bool post(PointerEventType type, InjectionPoint point, PointerButton button,
            int64_t clickState) override;
  std::optional<InjectionPoint> cursorPosition() override;

 private:
  XTestDisplay display_;
};

}  // namespace ferrowin::platform::x11
