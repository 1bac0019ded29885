#pragma once
// The X11 capture backend: displays are RandR 1.5 monitors, windows come from the window manager's
// stacking list (or the root's children without one); a display is read with MIT-SHM GetImage, a
// window through Composite; the cursor is drawn in from XFixes; RandR notifications are the
// display changes. The header stays free of X headers.

#include <memory>
#include <string>

#include "platform/capture.h"

namespace ferrowin::platform {

/// When a stream reads the picture. `onChange`: as soon as the X server reports a change of the
/// captured area (DAMAGE) or the pointer moved, but never sooner than one frame interval after the
/// last read, and once a second on a still picture (so the encoder's periodic keyframes go on);
/// intervals without a change deliver nothing. `everyInterval`: on a fixed grid of fps reads a
/// second, changed or not (also what runs on a server without DAMAGE).
enum class X11CaptureTiming { onChange, everyInterval };

/// Connects to `display` ($DISPLAY when empty). Fails with `unavailable` when the display cannot
/// be reached.
[[nodiscard]] Expected<std::unique_ptr<CaptureBackend>, CaptureError> makeX11CaptureBackend(
    const std::string& display, X11CaptureTiming timing = X11CaptureTiming::onChange);

}  // namespace ferrowin::platform
