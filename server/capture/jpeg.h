#pragma once
// JPEG encoding of BGRA pictures (thumbnails).

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/bgra_frame.h"

namespace ferrowin::capture {

/// `quality` from 0 to 1, as image libraries' compression factor; nothing on failure.
std::optional<std::vector<uint8_t>> encodeJpeg(const platform::BgraFrame& picture, double quality);

}  // namespace ferrowin::capture
