#pragma once
// What a PipeWire video producer hands us, turned into our frame path: its 32-bit pixel layouts
// converted to BGRA, and its cursor metadata (position, hotspot and an optional bitmap) read with
// every offset and size checked, since the producer is another process. Free of PipeWire's
// library (its metadata layouts are plain structs), so the parser is fuzzed on its own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/bgra_frame.h"

namespace ferrowin::platform::pipewire {

/// Byte order of one pixel in memory. `bgra` is ours; the `x` variants of the producer's formats
/// (padding instead of alpha) map to the same layouts.
enum class PixelLayout { bgra, rgba, argb, abgr };

/// The layout of a SPA video format, or nothing for a format we do not take.
std::optional<PixelLayout> layoutOfVideoFormat(uint32_t spaVideoFormat);

/// The SPA video formats we offer a producer, most preferred first.
std::vector<uint32_t> offeredVideoFormats();

/// Converts width × height pixels of `layout` at `source` (rows `sourceStride` bytes apart) into
/// `target`, which has at least that size.
void convertToBgra(const uint8_t* source, int sourceStride, PixelLayout layout,
                   const BgraFrame& target);

/// The pointer as the producer last described it. The bitmap is premultiplied ARGB (as 32-bit
/// words), the hotspot is within it.
struct CursorState {
  bool visible = false;
  int x = 0, y = 0;        // pointer position in the picture's pixels
  int hotX = 0, hotY = 0;  // hotspot within the bitmap
  int width = 0, height = 0;
  std::vector<uint32_t> argb;
};

/// Largest cursor bitmap taken, a side; a larger one is ignored (the position still counts).
inline constexpr int kMaxCursorSide = 256;

/// Applies one cursor metadata block (`size` bytes as the producer wrote them) to `state`.
/// Answers whether anything visible changed. A block that says "no news" or that does not hold
/// together (offsets or sizes outside the block, an unknown bitmap format) leaves `state` as it
/// was.
bool applyCursorMeta(const uint8_t* data, size_t size, CursorState& state);

}  // namespace ferrowin::platform::pipewire
