#include "server/control/responses.h"

#include "common/util/json.h"
#include "server/control/messages.h"

namespace ferrowin::control {

ControlHTTPResponse jsonResponse(const std::string& body, int status) {
  return ControlHTTPResponse{status, {body.begin(), body.end()}, "application/json"};
}

ControlHTTPResponse errorResponse(int status, std::string_view message) {
  // The encoder escapes the message and replaces invalid UTF-8, so it cannot fail and the body is
  // valid JSON whatever the message holds.
  return jsonResponse(encode(FerrowinAPIError{std::string(message)}), status);
}

std::string errorMessage(const ControlHTTPResponse& response) {
  auto parsed = common::parseJson(
      std::string_view(reinterpret_cast<const char*>(response.body.data()), response.body.size()));
  if (!parsed) return {};
  common::JsonReader reader(*parsed);
  auto message = reader.required<std::string>("error");
  return reader.ok() ? message : std::string();
}

}  // namespace ferrowin::control
