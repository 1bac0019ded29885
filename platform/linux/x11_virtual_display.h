#pragma once
// Virtual monitors on X11 through RandR 1.2+: a spare output (disconnected, without a CRTC: a free
// connector of a real GPU, a driver's VIRTUAL output, the dummy driver's DUMMY1…) gets a mode of
// exactly the asked size and rate (CVT reduced-blanking timings) on a free CRTC. Creation attempt
// n takes the n-th spare output. Removing the monitor switches the output off, deletes the mode
// and shrinks the screen back to fit what remains.
//
// Display ids are RandR monitor name atoms, as in the capture backend. Arrangement transactions
// run under a server grab; the screen is sized to the new bounding box, and on any failure every
// change is undone in reverse, so the layout is exactly as before. Mirroring scales the mirrored
// output's CRTC onto the master's area with a transform. The display placed at (0, 0) becomes
// the primary output.
//
// Transaction codes: X protocol error codes, the RandR SetCrtcConfig status + 100, or one of the
// k… codes below.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/virtual_display.h"

namespace ferrowin::platform {

inline constexpr int kDisplayNotFound = 1001;  // the id names no enabled output
inline constexpr int kScreenSizeOutOfRange =
    1002;                                     // the new bounding box exceeds the server's limits
inline constexpr int kNegativeOrigin = 1003;  // X screens start at (0, 0)
inline constexpr int kConnectionLost = 1004;

/// CVT 1.2 reduced-blanking (version 1) timings, the width kept exact.
struct CvtMode {
  uint32_t dotClockHz = 0;
  uint16_t width = 0, hsyncStart = 0, hsyncEnd = 0, htotal = 0;
  uint16_t height = 0, vsyncStart = 0, vsyncEnd = 0, vtotal = 0;
  double refreshHz() const { return double(dotClockHz) / (double(htotal) * vtotal); }
};
CvtMode cvtReducedBlanking(int width, int height, double refreshHz);

/// Connects to `display` ($DISPLAY when empty); nullptr when it cannot be reached.
std::shared_ptr<VirtualDisplayBackend> makeX11VirtualDisplayBackend(const std::string& display);

}  // namespace ferrowin::platform
