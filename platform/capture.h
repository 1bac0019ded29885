#pragma once
// Screen capture: what can be captured (displays and windows), a stream of BGRA frames of one of
// them, one-off screenshots for thumbnails, and word of display changes.
//
// Coordinates are global display points with the origin at the top left of the main display; a
// display's `pointPixelScale` turns points into pixels. Presentation times are microseconds of the
// media clock (common::toMicros of the monotonic clock).
//
// Backends: X11 (platform/linux) and the synthetic test pattern (platform/synthetic), which is also
// what runs when there is no X display.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "platform/bgra_frame.h"

namespace ferrowin::platform {

struct CaptureRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const CaptureRect&) const = default;
};

struct CaptureDisplay {
  uint32_t id = 0;  // stable while the display exists
  CaptureRect frame;
  double pointPixelScale = 1.0;
  bool isMain = false;
};

/// What kind of window the window manager says it is. Docks, desktops and notifications are the
/// system's own surfaces, never offered for capture.
enum class CaptureWindowRole { normal, dock, desktop, notification, other };

struct CaptureWindow {
  uint32_t id = 0;
  CaptureRect frame;
  /// Stacking layer: 0 for ordinary windows, above 0 for windows kept above, below 0 for below.
  int layer = 0;
  std::string title;
  /// The owning application: its identifier (the X class) and display name; both empty without
  /// one. `pid` is 0 when unknown.
  std::string applicationIdentifier;
  std::string applicationName;
  int32_t pid = 0;
  CaptureWindowRole role = CaptureWindowRole::normal;

  bool hasApplication() const { return !applicationIdentifier.empty() || !applicationName.empty(); }
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;
  std::vector<CaptureWindow> windows;  // front to back
};

/// What a stream or screenshot shows: a whole display or a single window.
struct CaptureFilter {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  uint32_t id = 0;
  CaptureRect contentRect;  // in points
  double pointPixelScale = 1.0;
};

struct CaptureStreamConfiguration {
  /// The size of the delivered frames in pixels.
  int width = 0;
  int height = 0;
  /// Where the picture is placed in the frame, in pixels; black around it. Absent: the whole
  /// frame. The picture is scaled to fill it; the caller picks a rectangle of the right shape.
  std::optional<CaptureRect> destinationRect;
  /// At most this many frames a second (0 counts as 1).
  int fps = 60;
  /// Frames delivered and not yet released by the consumer beyond which capture skips frames.
  int queueDepth = 2;
  bool showsCursor = true;
};

enum class CaptureFrameStatus { complete, idle };

struct CapturedFrame {
  BgraFrame image;
  int64_t ptsMicros = 0;
  CaptureFrameStatus status = CaptureFrameStatus::complete;
};

struct CaptureError {
  enum class Code {
    unavailable,    // the capture service cannot be reached
    sourceMissing,  // the filter names a display or window that is not there
    failed,         // anything else; `detail` says what
  };
  Code code = Code::failed;
  std::string detail;
  std::string description() const;
};

/// Why a running stream stopped by itself.
struct CaptureStreamError {
  enum class Code {
    windowGone,      // the captured window was closed or hidden
    displayGone,     // the captured display went away
    connectionLost,  // the capture service went away
  };
  Code code = Code::connectionLost;
  std::string detail;
  /// "window gone", "display gone" or "connection lost", with the detail after a colon if any.
  std::string description() const;
};

class CaptureStream {
 public:
  struct Delegate {
    /// Every captured frame, on the stream's own thread.
    std::function<void(CapturedFrame)> onFrame;
    /// Once, on the stream's own thread, when the stream stops without being asked to.
    std::function<void(const CaptureStreamError&)> onStop;
  };

  /// Stops the stream (see stop()).
  virtual ~CaptureStream() = default;
  [[nodiscard]] virtual Expected<void, CaptureError> start() = 0;
  /// Show another source from the next frame on.
  [[nodiscard]] virtual Expected<void, CaptureError> updateContentFilter(
      const CaptureFilter& filter) = 0;
  [[nodiscard]] virtual Expected<void, CaptureError> updateConfiguration(
      const CaptureStreamConfiguration& configuration) = 0;
  /// No delegate call starts after this returns. Must not be called from a delegate call.
  virtual void stop() = 0;
};

class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;

  /// Every display; the windows (only those on screen when asked), front to back.
  [[nodiscard]] virtual Expected<ShareableContent, CaptureError> shareableContent(
      bool onScreenWindowsOnly) = 0;
  /// The main display's id (the primary monitor, else the first).
  virtual uint32_t mainDisplayId() = 0;
  /// A display's frame in global points; absent for an unknown display.
  virtual std::optional<CaptureRect> displayBounds(uint32_t displayId) = 0;

  [[nodiscard]] virtual Expected<std::unique_ptr<CaptureStream>, CaptureError> createStream(
      const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
      CaptureStream::Delegate delegate) = 0;
  /// One picture of `filter` at width × height (cursor included when asked).
  [[nodiscard]] virtual Expected<BgraFrame, CaptureError> screenshot(const CaptureFilter& filter,
                                                                     int width, int height,
                                                                     bool showsCursor) = 0;
  /// `handler` runs on a backend thread after each settled change of the display arrangement.
  /// One handler at a time; an empty function removes it. It is not called once this returns with
  /// an empty function.
  virtual void setDisplayChangeHandler(std::function<void()> handler) = 0;
};

}  // namespace ferrowin::platform
