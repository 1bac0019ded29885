// JSON decoding and strict Base64, as every control request body goes through them.
#include <cstdint>
#include <string_view>

#include "common/util/base64.h"
#include "common/util/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto parsed = ferrowin::common::parseJson(text)) {
    ferrowin::common::JsonReader reader(*parsed);
    (void)reader.optional<std::string>("clientBundleVersion");
    (void)reader.optional<int>("count");
    (void)reader.optionalArray<std::string>("list");
    (void)ferrowin::common::encodeJson(*parsed);
  }
  if (auto decoded = ferrowin::common::base64Decode(text)) {
    if (ferrowin::common::base64Encode(*decoded) != text) __builtin_trap();  // canonical only
  }
  return 0;
}
