#include "server/control/attest/cbor.h"

#include <limits>

namespace ferrowin::control::attest::cbor {

namespace {

class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> input) : input_(input) {}

  Expected<Value, DecodeError> item(int depth) {
    const size_t start = position_;
    if (depth > kMaxDepth) return fail(DecodeError::Code::tooDeep, start);
    if (remaining() < 1) return fail(DecodeError::Code::truncated, start);
    const uint8_t initial = input_[position_++];
    const int major = initial >> 5;
    const uint8_t info = initial & 0x1f;

    uint64_t argument = 0;
    if (info < 24) {
      argument = info;
    } else if (info <= 27) {
      const size_t width = size_t{1} << (info - 24);
      if (remaining() < width) return fail(DecodeError::Code::truncated, start);
      for (size_t i = 0; i < width; ++i) argument = (argument << 8) | input_[position_++];
    } else {
      return fail(DecodeError::Code::reservedValue, start);
    }

    switch (major) {
      case 2:
      case 3: {
        if (argument > remaining()) return fail(DecodeError::Code::lengthTooLarge, start);
        auto begin = input_.begin() + static_cast<std::ptrdiff_t>(position_);
        auto end = begin + static_cast<std::ptrdiff_t>(argument);
        position_ += static_cast<size_t>(argument);
        if (major == 2) return Value{Bytes(begin, end)};
        if (!isValidUtf8({begin, end})) return fail(DecodeError::Code::invalidUtf8, start);
        return Value{Text(begin, end)};
      }
      case 4: {
        // Every item takes at least one byte. Nothing is reserved up front: nested arrays could
        // each claim the whole remaining input.
        if (argument > remaining()) return fail(DecodeError::Code::lengthTooLarge, start);
        Array array;
        for (uint64_t i = 0; i < argument; ++i) {
          auto element = item(depth + 1);
          if (!element) return element;
          array.push_back(std::move(*element));
        }
        return Value{std::move(array)};
      }
      case 5: {
        // Every pair takes at least two bytes.
        if (argument > remaining() / 2) return fail(DecodeError::Code::lengthTooLarge, start);
        Map map;
        for (uint64_t i = 0; i < argument; ++i) {
          const size_t keyStart = position_;
          auto key = item(depth + 1);
          if (!key) return key;
          if (!key->text()) return fail(DecodeError::Code::nonTextKey, keyStart);
          auto value = item(depth + 1);
          if (!value) return value;
          map.insert_or_assign(std::move(*std::get_if<Text>(&key->content)), std::move(*value));
        }
        return Value{std::move(map)};
      }
      case 6: {
        auto tagged = item(depth + 1);
        if (!tagged) return tagged;
        return Value{Other{}};
      }
      default:  // 0, 1: integers; 7: simple values and floats, their bytes being the argument
        return Value{Other{}};
    }
  }

 private:
  size_t remaining() const { return input_.size() - position_; }
  static unexpected<DecodeError> fail(DecodeError::Code code, size_t offset) {
    return make_unexpected(DecodeError{code, offset});
  }

  std::span<const uint8_t> input_;
  size_t position_ = 0;
};

}  // namespace

const Value* Value::find(const std::string& key) const {
  const Map* m = map();
  if (!m) return nullptr;
  auto it = m->find(key);
  return it == m->end() ? nullptr : &it->second;
}

std::string DecodeError::description() const {
  const char* what = "";
  switch (code) {
    case Code::truncated:
      what = "truncated item";
      break;
    case Code::reservedValue:
      what = "reserved or indefinite-length item";
      break;
    case Code::lengthTooLarge:
      what = "length exceeds the input";
      break;
    case Code::invalidUtf8:
      what = "text is not UTF-8";
      break;
    case Code::nonTextKey:
      what = "map key is not text";
      break;
    case Code::tooDeep:
      what = "nesting too deep";
      break;
  }
  return std::string("CBOR: ") + what + " at offset " + std::to_string(offset);
}

Expected<Value, DecodeError> decode(std::span<const uint8_t> input) {
  return Decoder(input).item(0);
}

bool isValidUtf8(std::span<const uint8_t> text) {
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    uint32_t codePoint;
    if ((lead & 0xe0) == 0xc0) {
      length = 2;
      codePoint = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3;
      codePoint = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = text[i + k];
      if ((next & 0xc0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3f);
    }
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kMinimum[length]) return false;                // overlong
    if (codePoint >= 0xd800 && codePoint <= 0xdfff) return false;  // surrogate
    if (codePoint > 0x10ffff) return false;
    i += length;
  }
  return true;
}

}  // namespace ferrowin::control::attest::cbor
