#pragma once
// BGRA (full-range RGB) to limited-range BT.709 YCbCr 4:2:0, the matrix every stream is tagged
// with. Chroma is the rounded mean of each 2 × 2 block; an odd last column or row repeats its edge
// pixels. The vector path and the portable one give identical bytes.

#include <cstdint>

#include "platform/bgra_frame.h"

namespace ferrowin::platform {

/// Planar output: Y at full size, U and V at half size (rounded up) each.
void convertBgraToI420(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u, int uStride,
                       uint8_t* v, int vStride);

/// Semi-planar output: Y, then U and V interleaved at half size (what VA-API and Quick Sync take).
void convertBgraToNv12(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* uv, int uvStride);

/// The planar conversion without the vector path, so tests can hold the two paths to one result.
void convertBgraToI420Portable(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u,
                               int uStride, uint8_t* v, int vStride);

}  // namespace ferrowin::platform
