#include "server/capture/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace ferrowin::capture {

std::optional<std::vector<uint8_t>> encodeJpeg(const platform::BgraFrame& picture,
                                               double quality) {
  if (picture.pixels == nullptr || picture.width <= 0 || picture.height <= 0) return std::nullopt;
  std::unique_ptr<void, decltype(&tjDestroy)> compressor(tjInitCompress(), &tjDestroy);
  if (!compressor) return std::nullopt;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const int percent = std::clamp(static_cast<int>(std::lround(quality * 100)), 1, 100);
  const int status = tjCompress2(compressor.get(), picture.pixels, picture.width, picture.stride,
                                 picture.height, TJPF_BGRX, &buffer, &size, TJSAMP_420, percent, 0);
  std::unique_ptr<unsigned char, decltype(&tjFree)> owned(buffer, &tjFree);
  if (status != 0 || buffer == nullptr || size == 0) return std::nullopt;
  return std::vector<uint8_t>(buffer, buffer + size);
}

}  // namespace ferrowin::capture
