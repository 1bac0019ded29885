#include "protocol/annexb.h"

#include <gtest/gtest.h>

namespace ferrowin::capture {
namespace {

using Bytes = std::vector<uint8_t>;

// A NAL unit of `type` with a two-byte header and a small payload.
Bytes nal(uint8_t type, std::initializer_list<uint8_t> payload = {0xAB}) {
  Bytes unit;
  unit.push_back(static_cast<uint8_t>(type << 1));
  unit.push_back(0x01);
  for (uint8_t byte : payload) unit.push_back(byte);
  return unit;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kLong = {0, 0, 0, 1};
const Bytes kShort = {0, 0, 1};

TEST(AnnexB, SplitsOnBothStartCodeLengthsAndDropsTrailingZeros) {
  const Bytes stream = concat({{0x55}, kLong, nal(32), kShort, nal(1, {0x00, 0x03, 0x00, 0x01}),
                               {0, 0}, kLong, nal(19, {0x10, 0x00, 0x00})});
  const auto units = splitAnnexB(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), nal(32));
  // Emulation-prevented bytes inside a unit are not start codes; zero padding after it is dropped.
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), nal(1, {0x00, 0x03, 0x00, 0x01}));
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), nal(19, {0x10}));
  EXPECT_TRUE(splitAnnexB(Bytes{1, 2, 3}).empty());
  EXPECT_TRUE(splitAnnexB(concat({kLong, kLong})).empty());
}

TEST(AnnexB, KeyframeBecomesLengthPrefixedWithParameterSetsInVpsSpsPpsOrderAndBack) {
  // Encoders may order the sets differently or put an AUD and SEI first.
  const Bytes au = concat({kLong, nal(35), kLong, nal(33, {1}), kLong, nal(32, {2}), kShort,
                           nal(34, {3}), kLong, nal(39, {4, 5}), kLong, nal(19, {6, 7, 8})});
  const auto out = toLengthPrefixed(au);
  ASSERT_EQ(out.parameterSets.size(), 3u);
  EXPECT_EQ(out.parameterSets[0], nal(32, {2}));
  EXPECT_EQ(out.parameterSets[1], nal(33, {1}));
  EXPECT_EQ(out.parameterSets[2], nal(34, {3}));
  const Bytes expected = concat({{0, 0, 0, 4}, nal(39, {4, 5}), {0, 0, 0, 5}, nal(19, {6, 7, 8})});
  EXPECT_EQ(out.data, expected);

  // A unit longer than 16 bits round-trips through the length-prefixed form.
  Bytes big(70000, 0x42);
  big[0] = 1 << 1;
  const Bytes longAu = concat({kLong, nal(32), kLong, nal(33), kLong, nal(34), kLong, big});
  const auto lengthPrefixed = toLengthPrefixed(longAu);
  EXPECT_EQ(Bytes(lengthPrefixed.data.begin(), lengthPrefixed.data.begin() + 4),
            (Bytes{0, 0x01, 0x11, 0x70}));  // 70000 = 0x011170
  auto back = toAnnexB(lengthPrefixed.parameterSets, lengthPrefixed.data);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, longAu);
}

// (The other malformed frames are the fuzz corpus's.)
TEST(AnnexB, ALengthNearTwoToThe32DoesNotWrapTheBoundsCheck) {
  auto result = toAnnexB({}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code, FramingError::Code::lengthPastEnd);
}

}  // namespace
}  // namespace ferrowin::capture
