#include "protocol/stream_config.h"

namespace ferrowin::capture {

std::string_view rawValue(CaptureColorSpace space) {
  return space == CaptureColorSpace::srgb ? "srgb" : "displayP3";
}

std::optional<CaptureColorSpace> captureColorSpaceFromRaw(std::string_view raw) {
  if (raw == "srgb") return CaptureColorSpace::srgb;
  if (raw == "displayP3") return CaptureColorSpace::displayP3;
  return std::nullopt;
}

const ColorTags& colorTags(CaptureColorSpace space) {
  static const ColorTags srgb{"ITU_R_709_2", "IEC_sRGB", "ITU_R_709_2", "sRGB"};
  static const ColorTags displayP3{"P3_D65", "IEC_sRGB", "ITU_R_709_2", "DisplayP3"};
  return space == CaptureColorSpace::srgb ? srgb : displayP3;
}

std::string shortColorName(std::string_view tag) {
  if (tag.starts_with("P3")) return "P3_D65";
  if (tag.find("709") != std::string_view::npos) return "709";
  if (tag.find("2020") != std::string_view::npos) return "2020";
  if (tag.find("sRGB") != std::string_view::npos || tag.find("SRGB") != std::string_view::npos) {
    return "sRGB";
  }
  return std::string(tag);
}

std::string colorSummary(CaptureColorSpace space) {
  const ColorTags& tags = colorTags(space);
  return shortColorName(tags.primaries) + "/" + shortColorName(tags.transferFunction) + "/" +
         shortColorName(tags.yCbCrMatrix);
}

}  // namespace ferrowin::capture
