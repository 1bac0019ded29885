#include "server/control/messages.h"

#include <string_view>

namespace ferrowin::control {

using common::Json;
using common::JsonError;
using common::JsonReader;

namespace {

// Parses a request body as a JSON object and hands a reader to `read`; the reader's first failure
// (or a body that is not JSON) is the result.
template <class T, class F>
Expected<T, JsonError> decodeObject(Body body, F read) {
  auto parsed =
      common::parseJson(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  if (!parsed) return make_unexpected(parsed.error());
  JsonReader reader(*parsed);
  T value = read(reader);
  if (!reader.ok()) return make_unexpected(*reader.error());
  return value;
}

}  // namespace

std::string encode(const FerrowinAPIError& message) {
  return common::encodeJson(Json{{"error", message.error}});
}

std::string encode(const FerrowinControlStatus& message) {
  Json json = {{"version", message.version},
               {"hostName", message.hostName},
               {"controlPort", message.controlPort},
               {"videoPort", message.videoPort},
               {"gamepadPort", message.gamepadPort},
               {"videoTransport", message.videoTransport},
               {"gamepadEnabled", message.gamepadEnabled},
               {"streamingEnabled", message.streamingEnabled},
               {"gamepadProfile", message.gamepadProfile},
               {"serverId", message.serverId}};
  common::setOptional(json, "frontmostBundleId", message.frontmostBundleId);
  common::setOptional(json, "frontmostExecutable", message.frontmostExecutable);
  return common::encodeJson(json);
}

std::string encode(const FerrowinHostSettings& message) {
  return common::encodeJson(Json{{"gamepadProfile", message.gamepadProfile}});
}

std::string encode(const FerrowinCaptureSourcesResponse& message) {
  Json sources = Json::array();
  for (const auto& source : message.sources) {
    Json item = {{"id", source.id},
                 {"kind", source.kind == FerrowinCaptureSourceKind::display ? "display" : "window"},
                 {"title", source.title},
                 {"width", source.width},
                 {"height", source.height}};
    common::setOptional(item, "subtitle", source.subtitle);
    common::setOptional(item, "isPrimary", source.isPrimary);
    common::setOptional(item, "isLikelyGame", source.isLikelyGame);
    sources.push_back(std::move(item));
  }
  return common::encodeJson(Json{{"selectedId", message.selectedId}, {"sources", sources}});
}

std::string encode(const FerrowinCaptureSourceResponse& message) {
  return common::encodeJson(Json{{"selectedId", message.selectedId}, {"applied", message.applied}});
}

std::string encode(const FerrowinRemapLookSettings& message) {
  return common::encodeJson(Json{{"sensitivity", message.sensitivity},
                                 {"acceleration", message.acceleration},
                                 {"deadzone", message.deadzone},
                                 {"verticalScale", message.verticalScale},
                                 {"stickCurve", std::string(common::rawValue(message.stickCurve))},
                                 {"rampCurve", std::string(common::rawValue(message.rampCurve))}});
}

std::string encode(const FerrowinSessionReleaseResponse& message) {
  return common::encodeJson(Json{{"ok", message.ok}});
}

std::string encode(const FerrowinAuthHelloResponse& message) {
  return common::encodeJson(Json{{"challenge", message.challenge},
                                 {"paired", message.paired},
                                 {"pinRequired", message.pinRequired},
                                 {"serverBundleVersion", message.serverBundleVersion},
                                 {"serverId", message.serverId}});
}

std::string encode(const FerrowinPairResponse& message) {
  return common::encodeJson(Json{{"ok", message.ok}});
}

Expected<FerrowinAuthHelloRequest, JsonError> decodeAuthHelloRequest(Body body) {
  return decodeObject<FerrowinAuthHelloRequest>(body, [](JsonReader& reader) {
    FerrowinAuthHelloRequest request;
    request.keyId = reader.optional<std::string>("keyId");
    request.clientBundleVersion = reader.required<std::string>("clientBundleVersion");
    return request;
  });
}

Expected<FerrowinPairRequest, JsonError> decodePairRequest(Body body) {
  return decodeObject<FerrowinPairRequest>(body, [](JsonReader& reader) {
    FerrowinPairRequest request;
    request.code = reader.required<std::string>("code");
    request.keyId = reader.required<std::string>("keyId");
    request.attestation = reader.optional<std::string>("attestation");
    request.assertion = reader.optional<std::string>("assertion");
    return request;
  });
}

Expected<FerrowinAuthResumeRequest, JsonError> decodeAuthResumeRequest(Body body) {
  return decodeObject<FerrowinAuthResumeRequest>(body, [](JsonReader& reader) {
    FerrowinAuthResumeRequest request;
    request.keyId = reader.required<std::string>("keyId");
    request.assertion = reader.required<std::string>("assertion");
    return request;
  });
}

Expected<FerrowinRemapLookSettings, JsonError> decodeRemapLookSettings(Body body) {
  return decodeObject<FerrowinRemapLookSettings>(body, [](JsonReader& reader) {
    FerrowinRemapLookSettings settings;
    settings.sensitivity = reader.required<double>("sensitivity");
    settings.acceleration = reader.required<double>("acceleration");
    settings.deadzone = reader.required<double>("deadzone");
    settings.verticalScale = reader.required<double>("verticalScale");
    const auto stick = reader.required<std::string>("stickCurve");
    const auto ramp = reader.required<std::string>("rampCurve");
    if (!reader.ok()) return settings;
    if (auto curve = common::lookStickCurveFromRaw(stick)) {
      settings.stickCurve = *curve;
    } else {
      reader.fail("stickCurve", "unknown value");
    }
    if (auto curve = common::lookRampCurveFromRaw(ramp)) {
      settings.rampCurve = *curve;
    } else {
      reader.fail("rampCurve", "unknown value");
    }
    return settings;
  });
}

Expected<FerrowinCaptureSourceRequest, JsonError> decodeCaptureSourceRequest(Body body) {
  return decodeObject<FerrowinCaptureSourceRequest>(body, [](JsonReader& reader) {
    return FerrowinCaptureSourceRequest{reader.required<std::string>("id")};
  });
}

}  // namespace ferrowin::control
