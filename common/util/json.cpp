#include "common/util/json.h"

namespace ferrowin::common {

std::string JsonError::description() const {
  if (field.empty()) return reason;
  return reason + ": " + field;
}

std::string encodeJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Expected<Json, JsonError> parseJson(std::string_view text) {
  Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return make_unexpected(JsonError{"", "not JSON"});
  return parsed;
}

JsonReader::JsonReader(const Json& object, std::string path)
    : object_(object), path_(std::move(path)) {
  if (!object_.is_object()) error_ = JsonError{path_, "not an object"};
}

const Json* JsonReader::find(const char* key) const {
  if (!object_.is_object()) return nullptr;
  auto it = object_.find(key);
  return it == object_.end() ? nullptr : &*it;
}

void JsonReader::fail(const char* key, const char* reason) {
  if (error_) return;
  error_ = JsonError{path_.empty() ? std::string(key) : path_ + "." + key, reason};
}

}  // namespace ferrowin::common
