#pragma once
// A minimal CBOR decoder: just enough for App Attest attestation and assertion objects.
//
// Byte strings, text strings, arrays and text-keyed maps keep their contents; integers, simple
// values, floats and tagged items decode to `Other` with no payload. Indefinite lengths and the
// reserved additional-information values are refused. The decoder reads untrusted bytes: every
// count is checked against what the remaining input could hold before anything is allocated, and
// nesting is limited to kMaxDepth.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::control::attest::cbor {

struct Value;
using Bytes = std::vector<uint8_t>;
using Text = std::string;
using Array = std::vector<Value>;
using Map = std::map<std::string, Value>;
struct Other {
  bool operator==(const Other&) const = default;
};

struct Value {
  std::variant<Bytes, Text, Array, Map, Other> content;

  const Bytes* bytes() const { return std::get_if<Bytes>(&content); }
  const Text* text() const { return std::get_if<Text>(&content); }
  const Array* array() const { return std::get_if<Array>(&content); }
  const Map* map() const { return std::get_if<Map>(&content); }
  /// The value stored under `key` when this is a map holding it.
  const Value* find(const std::string& key) const;

  bool operator==(const Value&) const = default;
};

/// Deeper than an attestation object will ever be (it uses four levels), shallow enough that the
/// recursion cannot exhaust the stack.
inline constexpr int kMaxDepth = 32;

struct DecodeError {
  enum class Code {
    truncated,       // a read past the end of the input
    reservedValue,   // additional information 28..31 (reserved, or an indefinite length)
    lengthTooLarge,  // a length or count the remaining input cannot hold
    invalidUtf8,     // a text string that is not valid UTF-8
    nonTextKey,      // a map key that is not a text string
    tooDeep,         // nesting beyond kMaxDepth
  };
  Code code = Code::truncated;
  size_t offset = 0;  // where the offending item starts
  std::string description() const;
};

/// Decodes the first data item of `input`; bytes after it are ignored.
[[nodiscard]] Expected<Value, DecodeError> decode(std::span<const uint8_t> input);

/// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::span<const uint8_t> text);

}  // namespace ferrowin::control::attest::cbor
