#include "platform/audio_capture.h"

namespace ferrowin::platform {

bool AudioSampleBuffer::valid() const {
  if (format.sampleRate <= 0 || format.channels <= 0 || frames < 0) return false;
  if (format.bitsPerChannel <= 0 || format.bitsPerChannel % 8 != 0) return false;
  const size_t bytesPerSample = static_cast<size_t>(format.bitsPerChannel / 8);
  const size_t frameCount = static_cast<size_t>(frames);
  if (format.interleaved) {
    return planes.size() == 1 &&
           planes[0].size() == frameCount * bytesPerSample * static_cast<size_t>(format.channels);
  }
  if (planes.size() != static_cast<size_t>(format.channels)) return false;
  for (const auto& plane : planes) {
    if (plane.size() != frameCount * bytesPerSample) return false;
  }
  return true;
}

std::string AudioCaptureError::description() const {
  std::string text = code == Code::unavailable ? "sound server unavailable" : "audio capture failed";
  if (!detail.empty()) text += ": " + detail;
  return text;
}

}  // namespace ferrowin::platform
