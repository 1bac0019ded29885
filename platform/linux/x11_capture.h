#pragma once
// The X11 capture backend: displays are RandR 1.5 monitors, windows come from the window manager's
// stacking list (or the root's children without one); a display is read with MIT-SHM GetImage, a
// window through Composite; the cursor is drawn in from XFixes; RandR notifications are the
// display changes. The header stays free of X headers.

#include <memory>
#include <string>

#include "platform/capture.h"

namespace ferrowin::platform {

/// Connects to `display` ($DISPLAY when empty). Fails with `unavailable` when the display cannot
/// be reached.
[[nodiscard]] Expected<std::unique_ptr<CaptureBackend>, CaptureError> makeX11CaptureBackend(
    const std::string& display);

}  // namespace ferrowin::platform
