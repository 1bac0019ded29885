#pragma once
// The response curves of the stick-to-mouse look remapper. The raw strings travel in the control
// API's remap settings and on the helper's standard input.

#include <optional>
#include <string_view>

namespace ferrowin::common {

enum class LookStickCurve { linear, soft, wide, extraWide };
enum class LookRampCurve { linear, quadratic, cubic, smoothstep, exponential };

inline std::string_view rawValue(LookStickCurve curve) {
  switch (curve) {
    case LookStickCurve::linear:
      return "linear";
    case LookStickCurve::soft:
      return "soft";
    case LookStickCurve::wide:
      return "wide";
    case LookStickCurve::extraWide:
      return "extraWide";
  }
  return "linear";
}

inline std::string_view rawValue(LookRampCurve curve) {
  switch (curve) {
    case LookRampCurve::linear:
      return "linear";
    case LookRampCurve::quadratic:
      return "quadratic";
    case LookRampCurve::cubic:
      return "cubic";
    case LookRampCurve::smoothstep:
      return "smoothstep";
    case LookRampCurve::exponential:
      return "exponential";
  }
  return "linear";
}

inline std::optional<LookStickCurve> lookStickCurveFromRaw(std::string_view raw) {
  for (auto curve : {LookStickCurve::linear, LookStickCurve::soft, LookStickCurve::wide,
                     LookStickCurve::extraWide}) {
    if (rawValue(curve) == raw) return curve;
  }
  return std::nullopt;
}

inline std::optional<LookRampCurve> lookRampCurveFromRaw(std::string_view raw) {
  for (auto curve : {LookRampCurve::linear, LookRampCurve::quadratic, LookRampCurve::cubic,
                     LookRampCurve::smoothstep, LookRampCurve::exponential}) {
    if (rawValue(curve) == raw) return curve;
  }
  return std::nullopt;
}

}  // namespace ferrowin::common
