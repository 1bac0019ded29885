#pragma once
// How big the captured picture is: the source's pixel size fitted into the client's box, and the
// stream configuration that delivers it (a width padded to a multiple of 16 with black).

#include "platform/capture.h"
#include "protocol/stream_config.h"

namespace ferrowin::capture {

struct CaptureSize {
  int width = 0;
  int height = 0;
  bool operator==(const CaptureSize&) const = default;
};

/// Fits `content` (pixels) into config.width × config.height without upscaling, grows a result
/// below 640 × 480 towards it within the box, then aligns: both sides to multiples of 16 for the
/// standard sizes 1280 × 720, 1600 × 900, 1920 × 1080 and 2560 × 1440, to even numbers otherwise.
/// An empty content size gives the box itself.
CaptureSize captureSize(CaptureSize content, const StreamConfig& config);

/// Frames `size.width` rounded up to 16 wide, the picture at (0, 0, size) on black when that
/// differs (logged as "Capture width %ld placed in %ldx%ld"), at most max(fps, 1) a second, two
/// frames queued, cursor shown.
platform::CaptureStreamConfiguration captureStreamConfiguration(CaptureSize size,
                                                                const StreamConfig& config);

}  // namespace ferrowin::capture
