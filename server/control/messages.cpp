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

std::string_view appGroupName(FerrowinAppGroup group) {
  switch (group) {
    case FerrowinAppGroup::games:
      return "games";
    case FerrowinAppGroup::system:
      return "system";
    case FerrowinAppGroup::other:
      break;
  }
  return "other";
}

std::optional<FerrowinAppGroup> appGroupNamed(std::string_view name) {
  for (auto group : {FerrowinAppGroup::games, FerrowinAppGroup::other, FerrowinAppGroup::system})
    if (appGroupName(group) == name) return group;
  return std::nullopt;
}

namespace {

Json summariesJson(const std::vector<FerrowinAppSummary>& summaries) {
  Json array = Json::array();
  for (const auto& app : summaries)
    array.push_back(
        {{"id", app.id}, {"title", app.title}, {"group", std::string(appGroupName(app.group))}});
  return array;
}

}  // namespace

std::string encode(const FerrowinAppsResponse& message) {
  return common::encodeJson(
      Json{{"apps", summariesJson(message.apps)}, {"recent", message.recent}});
}

std::string encode(const FerrowinAppLaunchResponse& message) {
  return common::encodeJson(Json{{"id", message.id}});
}

std::string encode(const std::vector<FerrowinAppSummary>& summaries) {
  return common::encodeJson(summariesJson(summaries));
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

Expected<FerrowinAppLaunchRequest, JsonError> decodeAppLaunchRequest(Body body) {
  return decodeObject<FerrowinAppLaunchRequest>(body, [](JsonReader& reader) {
    return FerrowinAppLaunchRequest{reader.required<std::string>("id")};
  });
}

Expected<std::vector<FerrowinAppSummary>, JsonError> decodeAppSummaries(std::string_view text) {
  auto parsed = common::parseJson(text);
  if (!parsed) return make_unexpected(parsed.error());
  if (!parsed->is_array()) return make_unexpected(JsonError{"", "wrong type"});
  std::vector<FerrowinAppSummary> summaries;
  for (const auto& element : *parsed) {
    if (!element.is_object()) return make_unexpected(JsonError{"", "wrong type"});
    JsonReader reader(element);
    FerrowinAppSummary app{reader.required<std::string>("id"),
                           reader.required<std::string>("title")};
    const auto group = appGroupNamed(reader.required<std::string>("group"));
    if (reader.ok() && !group) reader.fail("group", "unknown value");
    if (!reader.ok()) return make_unexpected(*reader.error());
    app.group = *group;
    summaries.push_back(std::move(app));
  }
  return summaries;
}

Expected<std::vector<std::string>, JsonError> decodeStringArray(std::string_view text) {
  auto parsed = common::parseJson(text);
  if (!parsed) return make_unexpected(parsed.error());
  if (!parsed->is_array()) return make_unexpected(JsonError{"", "wrong type"});
  std::vector<std::string> values;
  for (const auto& element : *parsed) {
    if (!element.is_string()) return make_unexpected(JsonError{"", "wrong type"});
    values.push_back(element.get<std::string>());
  }
  return values;
}

}  // namespace ferrowin::control
