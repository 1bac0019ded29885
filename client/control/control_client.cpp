#include "client/control/control_client.h"

#include <fmt/format.h>

#include "client/control/tls_exchange.h"
#include "common/util/json.h"

namespace ferrowin::client {

namespace {

using common::Json;
using common::JsonReader;

unexpected<ControlError> protocolError(std::string message) {
  return make_unexpected(ControlError{ControlError::Kind::protocol, 0, std::move(message)});
}

Expected<Json, ControlError> jsonBody(const HttpResponse& response) {
  auto json = common::parseJson(response.body);
  if (!json) return protocolError("the host's answer is not JSON");
  return *json;
}

template <class T>
Expected<T, ControlError> checked(JsonReader& reader, T value, const char* what) {
  if (!reader.ok())
    return protocolError(
        fmt::format("unexpected {} answer ({})", what, reader.error()->description()));
  return value;
}

Expected<AppList, ControlError> appList(const Expected<HttpResponse, ControlError>& response) {
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  AppList list;
  list.recent = reader.requiredArray<std::string>("recent");
  for (const auto& item : reader.requiredArray<Json>("apps")) {
    if (!item.is_object()) {
      reader.fail("apps", "wrong type");
      break;
    }
    JsonReader app(item, "apps");
    list.apps.push_back({app.required<std::string>("id"), app.required<std::string>("title"),
                         app.required<std::string>("group")});
    if (!app.ok())
      return protocolError("unexpected apps answer (" + app.error()->description() + ")");
  }
  return checked(reader, std::move(list), "apps");
}

// Percent-encodes everything but the unreserved characters, for a query value.
std::string percentEncoded(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~')
      out.push_back(static_cast<char>(c));
    else
      out += fmt::format("%{:02X}", c);
  }
  return out;
}

std::string idBody(const std::string& id) { return common::encodeJson(Json{{"id", id}}); }

}  // namespace

std::string ControlError::description() const {
  if (kind == Kind::http) return fmt::format("host answered {}: {}", status, message);
  return message;
}

ControlClient::ControlClient(HostAddress host, std::filesystem::path stateDir,
                             double timeoutSeconds, bool repinCertificate)
    : host_(std::move(host)),
      stateDir_(std::move(stateDir)),
      timeoutSeconds_(timeoutSeconds),
      repinCertificate_(repinCertificate) {}

Expected<HttpResponse, ControlError> ControlClient::request(const std::string& method,
                                                            const std::string& path,
                                                            const std::string& body) {
  auto result = tlsExchange(host_.host, host_.port,
                            buildHttpRequest(method, path, host_.text(), body), timeoutSeconds_);
  if (!result) {
    const auto kind = result.error().kind == ExchangeError::Kind::protocol
                          ? ControlError::Kind::protocol
                          : ControlError::Kind::network;
    return make_unexpected(ControlError{kind, 0, result.error().description()});
  }
  checkHostPin(stateDir_, host_, result->certificateSha256, repinCertificate_);
  return std::move(result->response);
}

Expected<HttpResponse, ControlError> ControlClient::call(const std::string& method,
                                                         const std::string& path,
                                                         const std::string& body) {
  auto response = request(method, path, body);
  if (!response || response->status == 200) return response;
  // Error bodies are {"error": text}; anything else is shown as it came.
  std::string message = response->body;
  if (auto json = common::parseJson(response->body)) {
    JsonReader reader(*json);
    auto text = reader.required<std::string>("error");
    if (reader.ok()) message = text;
  }
  return make_unexpected(ControlError{ControlError::Kind::http, response->status, message});
}

Expected<AuthHello, ControlError> ControlClient::hello(const std::optional<std::string>& keyId) {
  Json body = {{"clientBundleVersion", FERROWIN_VERSION}};
  common::setOptional(body, "keyId", keyId);
  auto response = call("POST", "/v1/auth/hello", common::encodeJson(body));
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  AuthHello hello{reader.required<std::string>("challenge"), reader.required<bool>("paired"),
                  reader.required<bool>("pinRequired"),
                  reader.required<std::string>("serverBundleVersion"),
                  reader.required<std::string>("serverId")};
  return checked(reader, std::move(hello), "hello");
}

Expected<void, ControlError> ControlClient::pair(const std::string& code, const std::string& keyId,
                                                 const std::optional<std::string>& attestation,
                                                 const std::optional<std::string>& assertion) {
  Json body = {{"code", code}, {"keyId", keyId}};
  common::setOptional(body, "attestation", attestation);
  common::setOptional(body, "assertion", assertion);
  auto response = call("POST", "/v1/auth/pair", common::encodeJson(body));
  if (!response) return make_unexpected(response.error());
  return {};
}

Expected<void, ControlError> ControlClient::resume(const std::string& keyId,
                                                   const std::string& assertion) {
  auto response = call("POST", "/v1/auth/resume",
                       common::encodeJson({{"assertion", assertion}, {"keyId", keyId}}));
  if (!response) return make_unexpected(response.error());
  return {};
}

Expected<ControlStatus, ControlError> ControlClient::status() {
  auto response = call("GET", "/v1/status");
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  ControlStatus status;
  status.version = reader.required<std::string>("version");
  status.hostName = reader.required<std::string>("hostName");
  status.controlPort = reader.required<uint16_t>("controlPort");
  status.videoPort = reader.required<uint16_t>("videoPort");
  status.gamepadPort = reader.required<uint16_t>("gamepadPort");
  status.videoTransport = reader.required<std::string>("videoTransport");
  status.gamepadEnabled = reader.required<bool>("gamepadEnabled");
  status.streamingEnabled = reader.required<bool>("streamingEnabled");
  status.gamepadProfile = reader.required<std::string>("gamepadProfile");
  status.frontmostBundleId = reader.optional<std::string>("frontmostBundleId");
  status.frontmostExecutable = reader.optional<std::string>("frontmostExecutable");
  status.serverId = reader.required<std::string>("serverId");
  return checked(reader, std::move(status), "status");
}

Expected<std::string, ControlError> ControlClient::settings() {
  auto response = call("GET", "/v1/settings");
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  auto profile = reader.required<std::string>("gamepadProfile");
  return checked(reader, std::move(profile), "settings");
}

Expected<void, ControlError> ControlClient::patchSettings(const std::string& jsonBody) {
  auto response = call("PATCH", "/v1/settings", jsonBody);
  if (!response) return make_unexpected(response.error());
  return {};
}

Expected<RemapLookSettings, ControlError> ControlClient::putRemapSettings(
    const RemapLookSettings& settings) {
  Json body = {{"sensitivity", settings.sensitivity}, {"acceleration", settings.acceleration},
               {"deadzone", settings.deadzone},       {"verticalScale", settings.verticalScale},
               {"stickCurve", settings.stickCurve},   {"rampCurve", settings.rampCurve}};
  auto response = call("PUT", "/v1/remap-settings", common::encodeJson(body));
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  RemapLookSettings stored{
      reader.required<double>("sensitivity"),     reader.required<double>("acceleration"),
      reader.required<double>("deadzone"),        reader.required<double>("verticalScale"),
      reader.required<std::string>("stickCurve"), reader.required<std::string>("rampCurve")};
  return checked(reader, std::move(stored), "remap settings");
}

Expected<void, ControlError> ControlClient::releaseSession() {
  auto response = call("POST", "/v1/session/release");
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  const bool ok = reader.required<bool>("ok");
  if (!reader.ok() || !ok) return protocolError("unexpected session release answer");
  return {};
}

Expected<AppList, ControlError> ControlClient::apps(bool refresh) {
  return appList(call("GET", refresh ? "/v1/apps?refresh=1" : "/v1/apps"));
}

Expected<std::string, ControlError> ControlClient::launchApp(const std::string& id) {
  auto response = call("POST", "/v1/apps/launch", idBody(id));
  if (!response) return make_unexpected(response.error());
  auto json = jsonBody(*response);
  if (!json) return make_unexpected(json.error());
  JsonReader reader(*json);
  auto launched = reader.required<std::string>("id");
  return checked(reader, std::move(launched), "launch");
}

Expected<AppList, ControlError> ControlClient::hideApp(const std::string& id) {
  return appList(call("POST", "/v1/apps/hide", idBody(id)));
}

Expected<AppList, ControlError> ControlClient::removeRecentApp(const std::string& id) {
  return appList(call("POST", "/v1/apps/recent/remove", idBody(id)));
}

Expected<std::string, ControlError> ControlClient::appIcon(const std::string& id) {
  auto response = call("GET", "/v1/apps/icon?id=" + percentEncoded(id));
  if (!response) return make_unexpected(response.error());
  return std::move(response->body);
}

}  // namespace ferrowin::client
