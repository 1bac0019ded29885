#pragma once
// The synthetic capture backend: virtual displays (and, for tests, windows) that show a moving test
// pattern with a visible frame counter. The picture depends only on the source id, the frame
// number and the size, so runs are reproducible. It is what the host captures when there is no X
// display, and the source of tests and benchmarks.

#include <memory>
#include <mutex>
#include <vector>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "platform/capture.h"
#include "platform/capture_frames.h"

namespace ferrowin::platform {

/// Draws the pattern of `sourceId` at frame `frameNumber` into `rect` of `target`.
void drawTestPattern(const BgraFrame& target, PixelRect rect, uint32_t sourceId,
                     uint64_t frameNumber);

class SyntheticCaptureBackend final : public CaptureBackend {
 public:
  /// One 1920 × 1080 main display with id 1.
  static std::vector<CaptureDisplay> defaultDisplays();

  /// Streams run on a thread of their own, in real time.
  explicit SyntheticCaptureBackend(std::vector<CaptureDisplay> displays = defaultDisplays());
  /// Streams are paced by `timers` and stamped by `clock` on the thread that fires the timers
  /// (with a ManualClock: inside advance()). Both must outlive the backend.
  SyntheticCaptureBackend(std::vector<CaptureDisplay> displays, const common::Clock& clock,
                          common::TimerFactory& timers);
  ~SyntheticCaptureBackend() override;

  /// Scripted changes. A display or window that disappears stops the streams that show it
  /// ("display gone" / "window gone" at their next frame); a display change calls the handler.
  void setDisplays(std::vector<CaptureDisplay> displays);
  void setWindows(std::vector<CaptureWindow> windows);

  Expected<ShareableContent, CaptureError> shareableContent(bool onScreenWindowsOnly) override;
  uint32_t mainDisplayId() override;
  std::optional<CaptureRect> displayBounds(uint32_t displayId) override;
  Expected<std::unique_ptr<CaptureStream>, CaptureError> createStream(
      const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
      CaptureStream::Delegate delegate) override;
  Expected<BgraFrame, CaptureError> screenshot(const CaptureFilter& filter, int width, int height,
                                               bool showsCursor) override;
  void setDisplayChangeHandler(std::function<void()> handler) override;

  struct World;

 private:
  std::shared_ptr<World> world_;
};

}  // namespace ferrowin::platform
