#include "common/helper_stdin.h"

#include <algorithm>
#include <cmath>

namespace ferrowin::common {

namespace {

double clampOrLow(double value, double low, double high) {
  if (std::isnan(value)) return low;
  return std::clamp(value, low, high);
}

template <class T>
Expected<T, JsonError> finish(const JsonReader& reader, T value) {
  if (!reader.ok()) return make_unexpected(*reader.error());
  return value;
}

}  // namespace

GamepadRemapLookTuning clampedLookTuning(GamepadRemapLookTuning tuning) {
  tuning.sensitivity = clampOrLow(tuning.sensitivity, 0.25, 4.0);
  tuning.acceleration = clampOrLow(tuning.acceleration, 0.0, 1.0);
  tuning.deadzone = clampOrLow(tuning.deadzone, 0.0, 0.25);
  tuning.verticalScale = clampOrLow(tuning.verticalScale, 0.25, 2.0);
  return tuning;
}

RemapLookStdinWire RemapLookStdinWire::from(const GamepadRemapLookTuning& tuning) {
  return {true,
          tuning.sensitivity,
          tuning.acceleration,
          tuning.deadzone,
          tuning.verticalScale,
          tuning.stickCurve,
          tuning.rampCurve};
}

GamepadRemapLookTuning RemapLookStdinWire::tuning() const {
  return {sensitivity, acceleration, deadzone, stickCurve, rampCurve, verticalScale};
}

PointerGeometryWire PointerGeometryWire::from(
    const std::optional<CapturePointerGeometry>& geometry) {
  if (!geometry) return {.clear = true};
  return {.clear = std::nullopt,
          .x = geometry->contentRect.x,
          .y = geometry->contentRect.y,
          .w = geometry->contentRect.width,
          .h = geometry->contentRect.height,
          .activeWidth = geometry->activeWidth,
          .activeHeight = geometry->activeHeight};
}

std::optional<CapturePointerGeometry> PointerGeometryWire::geometry() const {
  if (clear.value_or(false)) return std::nullopt;
  if (!x || !y || !w || !h || !activeWidth || !activeHeight) return std::nullopt;
  return CapturePointerGeometry{{*x, *y, *w, *h}, *activeWidth, *activeHeight};
}

std::string encodeLine(const PeerAllowlistWire& line) {
  return encodeJson(Json{{"peers", line.peers}}) + "\n";
}

std::string encodeLine(const SteamSupportStdinWire& line) {
  return encodeJson(Json{{"steamSupport", line.steamSupport}}) + "\n";
}

std::string encodeLine(const RemapLookStdinWire& line) {
  Json object{{"remapLook", line.remapLook},          {"sensitivity", line.sensitivity},
              {"acceleration", line.acceleration},    {"deadzone", line.deadzone},
              {"verticalScale", line.verticalScale},  {"stickCurve", rawValue(line.stickCurve)},
              {"rampCurve", rawValue(line.rampCurve)}};
  return encodeJson(object) + "\n";
}

std::string encodeLine(const PointerGeometryWire& line) {
  Json object = Json::object();
  setOptional(object, "clear", line.clear);
  setOptional(object, "x", line.x);
  setOptional(object, "y", line.y);
  setOptional(object, "w", line.w);
  setOptional(object, "h", line.h);
  setOptional(object, "activeWidth", line.activeWidth);
  setOptional(object, "activeHeight", line.activeHeight);
  return encodeJson(object) + "\n";
}

Expected<PeerAllowlistWire, JsonError> decodePeerAllowlist(const Json& object) {
  JsonReader reader(object);
  PeerAllowlistWire line{reader.requiredArray<std::string>("peers")};
  return finish(reader, std::move(line));
}

Expected<SteamSupportStdinWire, JsonError> decodeSteamSupport(const Json& object) {
  JsonReader reader(object);
  SteamSupportStdinWire line{reader.required<bool>("steamSupport")};
  return finish(reader, line);
}

Expected<RemapLookStdinWire, JsonError> decodeRemapLook(const Json& object) {
  JsonReader reader(object);
  RemapLookStdinWire line;
  line.remapLook = reader.required<bool>("remapLook");
  line.sensitivity = reader.required<double>("sensitivity");
  line.acceleration = reader.required<double>("acceleration");
  line.deadzone = reader.required<double>("deadzone");
  line.verticalScale = reader.required<double>("verticalScale");
  const auto stick = lookStickCurveFromRaw(reader.required<std::string>("stickCurve"));
  if (!stick) reader.fail("stickCurve", "unknown value");
  const auto ramp = lookRampCurveFromRaw(reader.required<std::string>("rampCurve"));
  if (!ramp) reader.fail("rampCurve", "unknown value");
  line.stickCurve = stick.value_or(LookStickCurve::linear);
  line.rampCurve = ramp.value_or(LookRampCurve::exponential);
  return finish(reader, line);
}

Expected<PointerGeometryWire, JsonError> decodePointerGeometry(const Json& object) {
  JsonReader reader(object);
  PointerGeometryWire line;
  line.clear = reader.optional<bool>("clear");
  line.x = reader.optional<double>("x");
  line.y = reader.optional<double>("y");
  line.w = reader.optional<double>("w");
  line.h = reader.optional<double>("h");
  line.activeWidth = reader.optional<int64_t>("activeWidth");
  line.activeHeight = reader.optional<int64_t>("activeHeight");
  return finish(reader, line);
}

}  // namespace ferrowin::common
