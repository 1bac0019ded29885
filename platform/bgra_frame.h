#pragma once
// A BGRA picture (8 bits per channel, blue first in memory), as capture delivers and the encoder
// takes it. `owner` keeps the pixels alive, so a frame moves between threads without copying.

#include <cstdint>
#include <memory>

namespace ferrowin::platform {

struct BgraFrame {
  std::shared_ptr<const void> owner;
  const uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row

  /// The blue, green, red, alpha bytes of one pixel (no bounds check).
  const uint8_t* at(int x, int y) const { return pixels + size_t(y) * stride + size_t(x) * 4; }
};

/// A frame with its own zeroed buffer of width × height.
BgraFrame allocateBgraFrame(int width, int height);

}  // namespace ferrowin::platform
