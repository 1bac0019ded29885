#pragma once
// JSON for wire messages and files.
//
// Encoding: compact (no whitespace), object keys in sorted code-point order (nlohmann::json keeps
// objects in a std::map, and byte order of UTF-8 is code-point order), optional fields omitted when
// absent, never written as null. Invalid UTF-8 in a string is replaced, never thrown.
//
// Decoding never throws: parseJson returns an error, and JsonReader reads the fields of one object,
// failing on a missing required key or a wrong type, accepting a missing or null optional and
// ignoring unknown keys. The first failure names the field.

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::common {

using Json = nlohmann::json;

struct JsonError {
  std::string field;   // dotted path of the field at fault; empty for the document itself
  std::string reason;  // "missing", "wrong type", "not JSON", ...
  std::string description() const;
};

/// Compact, sorted-key encoding.
std::string encodeJson(const Json& value);

/// Parses a whole document; trailing garbage is an error.
Expected<Json, JsonError> parseJson(std::string_view text);

/// Sets `key` only when `value` holds something.
template <class T>
void setOptional(Json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

namespace detail {
template <class T>
std::optional<T> convert(const Json& j) {
  if constexpr (std::is_same_v<T, bool>) {
    if (j.is_boolean()) return j.get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (j.is_string()) return j.get<std::string>();
  } else if constexpr (std::is_integral_v<T>) {
    if (j.is_number_unsigned()) {
      const auto v = j.get<uint64_t>();
      if (v <= static_cast<uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
    } else if (j.is_number_integer()) {
      const auto v = j.get<int64_t>();
      if (v >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
          (v < 0 || static_cast<uint64_t>(v) <= static_cast<uint64_t>(std::numeric_limits<T>::max())))
        return static_cast<T>(v);
    } else if (j.is_number_float()) {
      // A float that holds an exact integer in range is accepted, like Foundation's decoder.
      const double d = j.get<double>();
      // The cast below is only defined inside int64's range ([-2^63, 2^63)).
      if (d >= -9223372036854775808.0 && d < 9223372036854775808.0 &&
          d == static_cast<double>(static_cast<int64_t>(d)) &&
          d >= static_cast<double>(std::numeric_limits<T>::min()) &&
          d <= static_cast<double>(std::numeric_limits<T>::max()))
        return static_cast<T>(d);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    if (j.is_number()) return j.get<T>();
  } else if constexpr (std::is_same_v<T, Json>) {
    return j;
  }
  return std::nullopt;
}
}  // namespace detail

class JsonReader {
 public:
  /// Reads fields of `object`; `path` prefixes field names in errors (for nested objects).
  explicit JsonReader(const Json& object, std::string path = {});

  template <class T>
  T required(const char* key) {
    const Json* j = find(key);
    if (!j || j->is_null()) {
      fail(key, "missing");
      return T{};
    }
    auto value = detail::convert<T>(*j);
    if (!value) {
      fail(key, "wrong type");
      return T{};
    }
    return *value;
  }

  template <class T>
  std::optional<T> optional(const char* key) {
    const Json* j = find(key);
    if (!j || j->is_null()) return std::nullopt;
    auto value = detail::convert<T>(*j);
    if (!value) fail(key, "wrong type");
    return value;
  }

  /// A required array whose every element converts to T.
  template <class T>
  std::vector<T> requiredArray(const char* key) {
    const Json* j = find(key);
    if (!j || j->is_null()) {
      fail(key, "missing");
      return {};
    }
    return readArray<T>(key, *j);
  }

  template <class T>
  std::optional<std::vector<T>> optionalArray(const char* key) {
    const Json* j = find(key);
    if (!j || j->is_null()) return std::nullopt;
    return readArray<T>(key, *j);
  }

  bool ok() const { return !error_; }
  const std::optional<JsonError>& error() const { return error_; }

  /// Records a failure of the caller's own checks (first failure wins).
  void fail(const char* key, const char* reason);

 private:
  const Json* find(const char* key) const;
  template <class T>
  std::vector<T> readArray(const char* key, const Json& j) {
    std::vector<T> out;
    if (!j.is_array()) {
      fail(key, "wrong type");
      return out;
    }
    for (const auto& element : j) {
      auto value = detail::convert<T>(element);
      if (!value) {
        fail(key, "wrong type");
        return {};
      }
      out.push_back(std::move(*value));
    }
    return out;
  }

  const Json& object_;
  std::string path_;
  std::optional<JsonError> error_;
};

}  // namespace ferrowin::common
