#pragma once
// Virtual monitors and display arrangement: a monitor that exists only for the client, the list of
// online displays, and transactions that move displays, mirror one onto another and make one the
// main display.
//
// Display ids are the capture backend's (platform/capture.h), so "display:" + id captures a new
// monitor. Coordinates are global display points, as there.
//
// Backends: X11 RandR (platform/linux/x11_virtual_display.h: spare outputs given a mode of their
// own), one that has none (unavailableVirtualDisplays), and a scripted double for tests
// (platform/fake/fake_virtual_displays.h). Everything here is called on the main executor.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "platform/capture.h"

namespace ferrowin::platform {

/// One online display.
struct LiveDisplay {
  uint32_t id = 0;
  int pixelWidth = 0;
  int pixelHeight = 0;
  int pointWidth = 0;
  int pointHeight = 0;
  double refreshHz = 0;  // 0 when unknown
  uint32_t vendorID = 0;
  uint32_t productID = 0;
  bool isMain = false;
  bool isBuiltin = false;
  bool isMirrored = false;
  std::string name;
  bool operator==(const LiveDisplay&) const = default;
};

struct Chromaticity {
  double x = 0;
  double y = 0;
};

/// What a virtual monitor is made with. The values a backend has no place for (a RandR output
/// has no chromaticities or physical size of its own) stay here.
struct VirtualMonitorDescriptor {
  std::string name;
  uint32_t vendorID = 0;
  uint32_t productID = 0;
  uint32_t serialNum = 0;
  int maxPixelsWide = 0;
  int maxPixelsHigh = 0;
  double widthMillimetres = 0;
  double heightMillimetres = 0;
  Chromaticity whitePoint;
  Chromaticity redPrimary;
  Chromaticity greenPrimary;
  Chromaticity bluePrimary;
  // Its one mode.
  int width = 0;
  int height = 0;
  double refreshHz = 0;
  bool hiDPI = false;
};

/// A virtual monitor; it is online while this object lives and removed with it.
class VirtualMonitor {
 public:
  virtual ~VirtualMonitor() = default;
  /// The new display's id; 0 when the backend could not name it.
  virtual uint32_t displayId() const = 0;
};

/// One arrangement transaction. Nothing changes before complete(); a transaction destroyed
/// without complete() is cancelled. Calls answer 0 or an error code (documented per backend).
class DisplayConfiguration {
 public:
  virtual ~DisplayConfiguration() = default;
  /// Shows `master`'s picture on `display` (scaled to its size); master 0 stops mirroring.
  virtual int configureMirror(uint32_t display, uint32_t master) = 0;
  /// Moves `display`'s top-left corner to (x, y). The display placed at (0, 0) becomes the main
  /// display.
  virtual int configureOrigin(uint32_t display, int32_t x, int32_t y) = 0;
  /// Applies everything at once; on failure nothing has changed.
  virtual int complete() = 0;
  virtual void cancel() = 0;
};

class VirtualDisplayBackend {
 public:
  virtual ~VirtualDisplayBackend() = default;

  /// Why no virtual monitor can be made here; absent when one can.
  virtual std::optional<std::string> missingReason() = 0;
  /// One creation attempt with `descriptor` (its serial number picks the attempt: a backend may
  /// try another resource for each). The error is a sentence ending with a full stop.
  [[nodiscard]] virtual Expected<std::unique_ptr<VirtualMonitor>, std::string> createMonitor(
      const VirtualMonitorDescriptor& descriptor) = 0;

  /// The online displays, in the display server's order; empty when they cannot be read.
  virtual std::vector<LiveDisplay> liveDisplays() = 0;
  /// The main display's id; 0 when there is none.
  virtual uint32_t mainDisplayId() = 0;
  /// A display's frame in global points; absent for an unknown display.
  virtual std::optional<CaptureRect> displayBounds(uint32_t displayId) = 0;

  /// Starts a transaction, or answers the error code.
  [[nodiscard]] virtual Expected<std::unique_ptr<DisplayConfiguration>, int>
  beginConfiguration() = 0;
};

/// A backend without virtual monitors (no X display: the synthetic capture). Its live displays
/// are the capture backend's displays.
std::shared_ptr<VirtualDisplayBackend> unavailableVirtualDisplays(
    std::shared_ptr<CaptureBackend> capture, std::string reason);

}  // namespace ferrowin::platform
