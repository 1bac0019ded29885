// The control request parser, fed the bytes a client may send, split at an arbitrary point as if
// they arrived in two reads; plus the query-parameter and percent decoding of the request target.
#include <cstdint>
#include <string_view>
#include <vector>

#include "server/control/http_request.h"
#include "server/control/messages.h"

using namespace ferrowin::control;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t split = size > 0 ? data[0] % (size + 1) : 0;
  std::vector<uint8_t> buffer(data, data + split);
  auto first = parseRequest(buffer);
  if (first && !*first) {
    buffer.insert(buffer.end(), data + split, data + size);
    first = parseRequest(buffer);
  }
  if (first && *first) {
    const ControlHTTPRequest& request = **first;
    if (request.body.size() > kMaxBodyBytes) __builtin_trap();
    (void)routePath(request.path);
    (void)queryParameter(request.path, "id");
    (void)decodeAuthHelloRequest(request.body);
    (void)decodePairRequest(request.body);
    (void)decodeRemapLookSettings(request.body);
    (void)decodeAppLaunchRequest(request.body);
    const std::string_view text(reinterpret_cast<const char*>(request.body.data()), request.body.size());
    (void)decodeAppSummaries(text);
    (void)decodeStringArray(text);
    (void)serializeResponse({400, request.body, "application/json"});
  }
  return 0;
}
