#include "platform/linux/pipewire_frames.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstring>

namespace ferrowin::platform::pipewire {

std::optional<PixelLayout> layoutOfVideoFormat(uint32_t spaVideoFormat) {
  switch (spaVideoFormat) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return PixelLayout::bgra;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return PixelLayout::rgba;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      return PixelLayout::argb;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      return PixelLayout::abgr;
    default:
      return std::nullopt;
  }
}

std::vector<uint32_t> offeredVideoFormats() {
  return {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
          SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB,
          SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};
}

void convertToBgra(const uint8_t* source, int sourceStride, PixelLayout layout,
                   const BgraFrame& target) {
  auto* out = const_cast<uint8_t*>(target.pixels);
  const int w = target.width, h = target.height;
  // libyuv names layouts by the 32-bit word, little-endian: its "ARGB" is B, G, R, A in memory.
  switch (layout) {
    case PixelLayout::bgra:
      libyuv::ARGBCopy(source, sourceStride, out, target.stride, w, h);
      break;
    case PixelLayout::rgba:
      libyuv::ABGRToARGB(source, sourceStride, out, target.stride, w, h);
      break;
    case PixelLayout::argb:
      libyuv::BGRAToARGB(source, sourceStride, out, target.stride, w, h);
      break;
    case PixelLayout::abgr:
      libyuv::RGBAToARGB(source, sourceStride, out, target.stride, w, h);
      break;
  }
}

namespace {

// Whether [offset, offset + length) lies within a block of `size` bytes.
bool within(uint64_t offset, uint64_t length, size_t size) {
  return offset <= size && length <= size - offset;
}

// The bitmap block at `offset` of the cursor block: true with `state`'s bitmap replaced, false
// when the block is malformed (state untouched).
bool readBitmap(const uint8_t* data, size_t size, uint32_t offset, CursorState& state) {
  if (offset < sizeof(spa_meta_cursor) || !within(offset, sizeof(spa_meta_bitmap), size)) {
    return false;
  }
  spa_meta_bitmap bitmap;
  std::memcpy(&bitmap, data + offset, sizeof bitmap);
  if (bitmap.format == 0) return true;  // no new picture of the pointer
  if (bitmap.offset == 0) {             // an invisible pointer
    state.width = state.height = 0;
    state.argb.clear();
    return true;
  }
  const auto layout = layoutOfVideoFormat(bitmap.format);
  const uint64_t w = bitmap.size.width, h = bitmap.size.height;
  if (!layout || w == 0 || h == 0 || w > kMaxCursorSide || h > kMaxCursorSide ||
      bitmap.stride < 0 || uint64_t(bitmap.stride) < w * 4 ||
      bitmap.offset < sizeof(spa_meta_bitmap)) {
    return false;
  }
  const uint64_t start = uint64_t(offset) + bitmap.offset;
  if (!within(start, uint64_t(bitmap.stride) * (h - 1) + w * 4, size)) return false;
  std::vector<uint32_t> argb(w * h);
  const BgraFrame converted{nullptr, reinterpret_cast<uint8_t*>(argb.data()), int(w), int(h),
                            int(w * 4)};
  convertToBgra(data + start, bitmap.stride, *layout, converted);
  // Producers hand straight alpha; blending wants it premultiplied.
  for (uint32_t& pixel : argb) {
    const uint32_t a = pixel >> 24;
    uint32_t out = a << 24;
    for (int shift = 0; shift < 24; shift += 8) out |= (((pixel >> shift) & 0xFF) * a / 255) << shift;
    pixel = out;
  }
  state.width = int(w);
  state.height = int(h);
  state.argb = std::move(argb);
  return true;
}

}  // namespace

bool applyCursorMeta(const uint8_t* data, size_t size, CursorState& state) {
  if (data == nullptr || size < sizeof(spa_meta_cursor)) return false;
  spa_meta_cursor cursor;
  std::memcpy(&cursor, data, sizeof cursor);
  if (!spa_meta_cursor_is_valid(&cursor)) return false;  // nothing new
  CursorState next = state;
  if (cursor.bitmap_offset != 0) {
    if (!readBitmap(data, size, cursor.bitmap_offset, next)) return false;
    next.hotX = cursor.hotspot.x;
    next.hotY = cursor.hotspot.y;
  }
  next.visible = true;
  next.x = cursor.position.x;
  next.y = cursor.position.y;
  const bool changed = next.x != state.x || next.y != state.y || !state.visible ||
                       cursor.bitmap_offset != 0;
  state = std::move(next);
  return changed;
}

}  // namespace ferrowin::platform::pipewire
