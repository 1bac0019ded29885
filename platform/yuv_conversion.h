#pragma once
// BGRA (full-range RGB) to limited-range BT.709 YCbCr 4:2:0, the matrix every stream is tagged
// with. Chroma is the rounded mean of each 2 × 2 block; an odd last column or row repeats its edge
// pixels. The vector path and the portable one give identical bytes.

#include <array>
#include <cstdint>

#include "platform/bgra_frame.h"

namespace ferrowin::platform {

/// The primaries the picture should have. The captured pixels are sRGB; for Display P3 each pixel
/// is first taken to P3 (linear light, the 3 × 3 matrix between the two primaries with the same
/// D65 white, sRGB transfer kept) in 16-bit fixed point, within one code of the exact formula
/// (an AVX-512 path chosen at run time gives the same bytes as the portable one).
enum class OutputPrimaries { bt709, displayP3 };

/// Planar output: Y at full size, U and V at half size (rounded up) each.
void convertBgraToI420(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u, int uStride,
                       uint8_t* v, int vStride, OutputPrimaries primaries = OutputPrimaries::bt709);

/// Semi-planar output: Y, then U and V interleaved at half size (what VA-API and Quick Sync take).
void convertBgraToNv12(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* uv, int uvStride,
                       OutputPrimaries primaries = OutputPrimaries::bt709);

/// The planar conversion without the vector path, so tests can hold the two paths to one result.
void convertBgraToI420Portable(const BgraFrame& source, uint8_t* y, int yStride, uint8_t* u,
                               int uStride, uint8_t* v, int vStride,
                               OutputPrimaries primaries = OutputPrimaries::bt709);

/// One sRGB colour (red, green, blue codes) as Display P3 codes, the way the conversion does it.
std::array<uint8_t, 3> srgbToDisplayP3(std::array<uint8_t, 3> rgb);

}  // namespace ferrowin::platform
