#pragma once
// Building control API responses.

#include <string>
#include <string_view>

#include "server/control/http_request.h"

namespace ferrowin::control {

/// 200 (or `status`) with an already encoded JSON body.
ControlHTTPResponse jsonResponse(const std::string& body, int status = 200);
/// `status` with the body {"error": message}, always valid JSON.
ControlHTTPResponse errorResponse(int status, std::string_view message);
/// The message of an error response; empty when the body is not one.
std::string errorMessage(const ControlHTTPResponse& response);

}  // namespace ferrowin::control
