#include "server/capture/capture_size.h"

#include <algorithm>

#include "common/util/log.h"

namespace ferrowin::capture {

namespace {

bool isStandardSize(int width, int height) {
  return (width == 1280 && height == 720) || (width == 1600 && height == 900) ||
         (width == 1920 && height == 1080) || (width == 2560 && height == 1440);
}

}  // namespace

CaptureSize captureSize(CaptureSize content, const StreamConfig& config) {
  const double boxWidth = config.width, boxHeight = config.height;
  double width = boxWidth, height = boxHeight;
  if (content.width >= 1 && content.height >= 1) {
    const double scale = std::min({boxWidth / content.width, boxHeight / content.height, 1.0});
    width = scale * content.width;
    height = scale * content.height;
    if (width < 640 || height < 480) {
      const double grow =
          std::min({std::max(640 / width, 480 / height), boxWidth / width, boxHeight / height});
      width *= grow;
      height *= grow;
    }
  }
  const int w = static_cast<int>(width), h = static_cast<int>(height);  // towards zero
  if (isStandardSize(config.width, config.height)) {
    return {std::max(w, 16) / 16 * 16, std::max(h, 16) / 16 * 16};
  }
  return {std::max(w, 2) / 2 * 2, std::max(h, 2) / 2 * 2};
}

platform::CaptureStreamConfiguration captureStreamConfiguration(CaptureSize size,
                                                                const StreamConfig& config) {
  platform::CaptureStreamConfiguration out;
  out.width = (size.width + 15) / 16 * 16;
  out.height = size.height;
  if (out.width != size.width) {
    out.destinationRect = platform::CaptureRect{0, 0, double(size.width), double(size.height)};
    common::serverLog("capture")->info("Capture width {} placed in {}x{}", size.width, out.width,
                                       size.height);
  }
  out.fps = std::max(config.fps, 1);
  out.queueDepth = 2;
  out.showsCursor = true;
  return out;
}

}  // namespace ferrowin::capture
