#pragma once
// What the client asked for: the stream configuration and its enumerations. The client sends it as
// a binary message on the video port (protocol/wire.h decodes it into this value).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/device_profile.h"

namespace ferrowin::capture {

enum class CaptureColorSpace { srgb, displayP3 };

std::string_view rawValue(CaptureColorSpace space);
std::optional<CaptureColorSpace> captureColorSpaceFromRaw(std::string_view raw);

/// `none` streams an existing display; `extended` adds a virtual display sized for the client;
/// `main` adds it and makes it the main display.
enum class VirtualDisplayChoice { none, extended, main };

struct StreamConfig {
  int width = 1280;
  int height = 720;
  int fps = 60;
  int bitrateKbps = 12000;
  bool audioEnabled = false;
  int audioChannels = 2;
  int audioBitrateKbps = 64;
  bool gamepadEnabled = false;
  common::DeviceProfile gamepadProfile = common::DeviceProfile::xbox;
  bool remapToKBMEnabled = false;
  bool steamSupport = true;
  CaptureColorSpace colorSpace = CaptureColorSpace::displayP3;
  VirtualDisplayChoice virtualDisplay = VirtualDisplayChoice::none;

  bool operator==(const StreamConfig&) const = default;
};

/// The colour tags an encoder session and its frames carry for a colour space. The texts are the
/// tag names the statistics summary shortens (see shortColorName).
struct ColorTags {
  std::string_view primaries;
  std::string_view transferFunction;
  std::string_view yCbCrMatrix;
  std::string_view captureColorSpaceName;
};

const ColorTags& colorTags(CaptureColorSpace space);

/// "P3_D65", "709", "2020" or "sRGB" for a tag name; any other name unchanged.
std::string shortColorName(std::string_view tag);

/// "primaries/transfer/matrix" in short names, for example "P3_D65/sRGB/709".
std::string colorSummary(CaptureColorSpace space);

}  // namespace ferrowin::capture
