// The client's HTTP response parser, fed what a host (or anything posing as one) sends.
#include <cstdlib>
#include <string_view>

#include "client/control/http_exchange.h"

using namespace ferrowin::client;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (bool closed : {false, true}) {
    auto response = parseHttpResponse(bytes, closed);
    if (response && *response && (*response)->body.size() > bytes.size()) std::abort();
    if (closed && response && !*response) std::abort();  // a closed peer always gets a verdict
  }
  return 0;
}
