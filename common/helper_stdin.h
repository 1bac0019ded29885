#pragma once
// The JSON lines the host writes to the input helper's standard input, one object per line. The
// host encodes them with encodeLine(); the helper tries the decoders in the order of its line
// handler (allowlist, Steam support, look tuning, geometry).

#include <optional>
#include <string>
#include <vector>

#include "common/look_curves.h"
#include "common/pointer_geometry.h"
#include "common/util/json.h"

namespace ferrowin::common {

/// The look remapper's tuning, with its defaults.
struct GamepadRemapLookTuning {
  double sensitivity = 1.0;
  double acceleration = 0.55;
  double deadzone = 0.02;
  LookStickCurve stickCurve = LookStickCurve::linear;
  LookRampCurve rampCurve = LookRampCurve::exponential;
  double verticalScale = 1.0;
  bool operator==(const GamepadRemapLookTuning&) const = default;
};

/// The ranges the helper accepts; a NaN goes to the lower bound.
GamepadRemapLookTuning clampedLookTuning(GamepadRemapLookTuning tuning);

struct PeerAllowlistWire {
  std::vector<std::string> peers;
};

struct SteamSupportStdinWire {
  bool steamSupport = true;
};

struct RemapLookStdinWire {
  bool remapLook = true;
  double sensitivity = 1.0;
  double acceleration = 0.55;
  double deadzone = 0.02;
  double verticalScale = 1.0;
  LookStickCurve stickCurve = LookStickCurve::linear;
  LookRampCurve rampCurve = LookRampCurve::exponential;

  static RemapLookStdinWire from(const GamepadRemapLookTuning& tuning);
  GamepadRemapLookTuning tuning() const;
};

/// Either "clear": true, or all six geometry keys; anything less clears the geometry.
struct PointerGeometryWire {
  std::optional<bool> clear;
  std::optional<double> x, y, w, h;
  std::optional<int64_t> activeWidth, activeHeight;

  static PointerGeometryWire from(const std::optional<CapturePointerGeometry>& geometry);
  /// Empty when the line clears the geometry.
  std::optional<CapturePointerGeometry> geometry() const;
};

/// The JSON document followed by "\n".
std::string encodeLine(const PeerAllowlistWire& line);
std::string encodeLine(const SteamSupportStdinWire& line);
std::string encodeLine(const RemapLookStdinWire& line);
std::string encodeLine(const PointerGeometryWire& line);

/// Each fails on a missing required key or a key of the wrong type; unknown keys are ignored.
[[nodiscard]] Expected<PeerAllowlistWire, JsonError> decodePeerAllowlist(const Json& object);
[[nodiscard]] Expected<SteamSupportStdinWire, JsonError> decodeSteamSupport(const Json& object);
[[nodiscard]] Expected<RemapLookStdinWire, JsonError> decodeRemapLook(const Json& object);
[[nodiscard]] Expected<PointerGeometryWire, JsonError> decodePointerGeometry(const Json& object);

}  // namespace ferrowin::common
