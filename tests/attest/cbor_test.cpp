#include "server/control/attest/cbor.h"

#include <gtest/gtest.h>

namespace ferrowin::control::attest::cbor {
namespace {

using Code = DecodeError::Code;

Expected<Value, DecodeError> decodeBytes(std::initializer_list<uint8_t> bytes) {
  std::vector<uint8_t> v(bytes);
  return decode(v);
}

Code errorOf(const std::vector<uint8_t>& bytes) {
  auto result = decode(bytes);
  EXPECT_FALSE(result.has_value());
  return result ? Code::truncated : result.error().code;
}

TEST(Cbor, DecodesTheItemKindsAnAttestationUses) {
  // {"a": h'0102', "b": ["x", 1, -1, 1.5 (half), 0.5 (double), tag 1(0), true], "c": {}}
  auto value = decodeBytes({0xa3, 0x61, 'a',  0x42, 1,    2,    0x61, 'b',  0x87, 0x61, 'x',
                            0x01, 0x20, 0xf9, 0x3e, 0x00, 0xfb, 0x3f, 0xe0, 0,    0,    0,
                            0,    0,    0,    0xc1, 0x00, 0xf5, 0x61, 'c',  0xa0});
  ASSERT_TRUE(value) << value.error().description();
  ASSERT_TRUE(value->map());
  EXPECT_EQ(*value->find("a")->bytes(), (Bytes{1, 2}));
  const Array& array = *value->find("b")->array();
  ASSERT_EQ(array.size(), 7u);
  EXPECT_EQ(*array[0].text(), "x");
  for (size_t i = 1; i < 7; ++i) EXPECT_EQ(array[i], Value{Other{}}) << i;
  EXPECT_TRUE(value->find("c")->map()->empty());
}

TEST(Cbor, RefusesCountsAndLengthsTheInputCannotHold) {
  // 2^64-1 and 2^63 items or bytes, with nothing behind them.
  for (uint8_t head : {0x5b, 0x7b, 0x9b, 0xbb}) {
    EXPECT_EQ(errorOf({head, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
              Code::lengthTooLarge);
    EXPECT_EQ(errorOf({head, 0x80, 0, 0, 0, 0, 0, 0, 0}), Code::lengthTooLarge);
  }
  // Exactly as many one-byte items as remain is fine; one more is refused before decoding.
  EXPECT_TRUE(decodeBytes({0x83, 0x01, 0x02, 0x03}));
  EXPECT_EQ(errorOf({0x84, 0x01, 0x02, 0x03}), Code::lengthTooLarge);
  // A map needs two bytes per pair.
  EXPECT_EQ(errorOf({0xa2, 0x60, 0x01, 0x60}), Code::lengthTooLarge);
  EXPECT_EQ(errorOf({0x43, 0x01, 0x02}), Code::lengthTooLarge);
}

TEST(Cbor, LimitsNesting) {
  auto nested = [](int levels, uint8_t head) {
    std::vector<uint8_t> bytes(levels, head);
    bytes.push_back(head == 0x81 ? 0x80 : 0x00);  // innermost: an empty array, or a number
    return bytes;
  };
  // kMaxDepth containers around a leaf put the leaf at depth kMaxDepth: the deepest allowed.
  EXPECT_TRUE(decode(nested(kMaxDepth - 1, 0x81)));
  EXPECT_EQ(errorOf(nested(kMaxDepth + 1, 0x81)), Code::tooDeep);
  EXPECT_TRUE(decode(nested(kMaxDepth, 0xc1)));  // tags nest too
  EXPECT_EQ(errorOf(nested(kMaxDepth + 1, 0xc1)), Code::tooDeep);
  // Far beyond the limit: refused without exhausting the stack.
  EXPECT_EQ(errorOf(nested(1'000'000, 0x81)), Code::tooDeep);
}

TEST(Cbor, DescribesWhereDecodingFailed) {
  auto result = decodeBytes({0xa1, 0x61, 'k', 0x9f});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().description(), "CBOR: reserved or indefinite-length item at offset 3");
}

}  // namespace
}  // namespace ferrowin::control::attest::cbor
