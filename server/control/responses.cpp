#include "server/control/responses.h"

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

}  // namespace ferrowin::control
