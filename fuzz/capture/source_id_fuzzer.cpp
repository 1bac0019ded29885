// Capture source ids arrive in client requests (the source switch body, the thumbnail query).
#include <cstdint>
#include <string_view>

#include "server/capture/capture_sources.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferrowin::capture;
  const ParsedSourceId parsed =
      parseSourceId(std::string_view(reinterpret_cast<const char*>(data), size));
  // A valid id names the same source in its canonical form.
  if (parsed.kind == ParsedSourceId::Kind::display && parseSourceId(displaySourceId(parsed.id)) != parsed) {
    __builtin_trap();
  }
  if (parsed.kind == ParsedSourceId::Kind::window && parseSourceId(windowSourceId(parsed.id)) != parsed) {
    __builtin_trap();
  }
  return 0;
}
