#include "inputhelper/packets.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/inputhelper/session_doubles.h"

namespace ferrowin::inputhelper {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes withMagic(uint32_t magic, uint8_t version, size_t size) {
  Bytes d(size, 0);
  for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(magic >> (8 * i));
  d[4] = version;
  return d;
}

// A text datagram of sequence 7 whose length field says `lengthField` (by default the text's).
Bytes textDatagram(const std::string& text, int lengthField = -1) {
  const auto length = static_cast<uint16_t>(lengthField < 0 ? text.size() : lengthField);
  Bytes d = testing::datagram(
      "CUGV", 1, {0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 7, 0, 0, 0});
  d.insert(d.end(), text.begin(), text.end());
  return d;
}

template <class T>
std::optional<T> as(const Bytes& d) {
  auto packet = classifyDatagram(d);
  if (!packet || !std::holds_alternative<T>(*packet)) return std::nullopt;
  return std::get<T>(*packet);
}

TEST(Packets, EveryKindNeedsItsExactLengthMagicAndVersion) {
  struct Kind {
    uint32_t magic;
    uint8_t version;
    size_t size;
  };
  for (Kind k : {Kind{0x56474D50, 1, 21}, Kind{0x56474D4C, 1, 16}, Kind{0x56474D53, 2, 15},
                 Kind{0x56474B59, 1, 12}}) {
    EXPECT_TRUE(classifyDatagram(withMagic(k.magic, k.version, k.size))) << k.magic;
    EXPECT_FALSE(classifyDatagram(withMagic(k.magic, k.version, k.size + 1))) << k.magic;
    EXPECT_FALSE(classifyDatagram(withMagic(k.magic, k.version, k.size - 1))) << k.magic;
    EXPECT_FALSE(classifyDatagram(withMagic(k.magic, k.version + 1, k.size))) << k.magic;
    EXPECT_FALSE(classifyDatagram(withMagic(k.magic ^ 0x01000000, k.version, k.size))) << k.magic;
  }
  EXPECT_FALSE(classifyDatagram(Bytes{}));
  EXPECT_FALSE(classifyDatagram(Bytes{0x50, 0x4D, 0x47}));
}

// Each kind's fields, little-endian after the magic and the version.
TEST(Packets, FieldsOfEachKind) {
  auto pad = as<VirtualGamepadPacket>(testing::datagram(
      "PMGV", 1, {0xEE, 0xEE, 0xEE, 1, 2, 3, 4, 0x34, 0x12, 3, 15, 16, 17, 18, 19, 20}));
  ASSERT_TRUE(pad);  // bytes 5 to 7 are ignored
  EXPECT_EQ(pad->sequence, 0x04030201u);
  EXPECT_EQ(pad->report, (VirtualGamepadInputReport{0x1234, 3, 15, 16, 17, 18, 19, 20}));

  auto look = as<VirtualLookPacket>(
      testing::datagram("LMGV", 1, {0, 255, 0x80, 0x01, 0x80, 0xFF, 0x7F, 0, 0, 0, 0}));
  ASSERT_TRUE(look);
  EXPECT_EQ(std::tuple(look->stickX, look->stickY, look->gyroX, look->gyroY),
            std::tuple(255, 0x80, -32767, 32767));

  auto mouse = as<VirtualMousePacket>(
      testing::datagram("SMGV", 2, {0x0D, 0x2C, 0x01, 0xFF, 0xFF, 0xFE, 9, 0, 0, 0}));
  ASSERT_TRUE(mouse);
  EXPECT_EQ(std::tuple(mouse->flags, mouse->x, mouse->y, mouse->wheel, mouse->sequence),
            std::tuple(0x0D, 300, 65535, -2, 9u));

  auto key = as<VirtualKeyPacket>(testing::datagram("YKGV", 1, {1, 56, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(key);
  EXPECT_EQ(std::tuple(key->flags, key->keyCode, key->sequence), std::tuple(1, 56, 0xFFFFFFFFu));
}

TEST(Packets, TextLengthMustMatchAndBeOneTo256ValidBytes) {
  auto ok = as<VirtualTextPacket>(textDatagram("h\xC3\xA9"));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->text, "h\xC3\xA9");
  EXPECT_EQ(ok->sequence, 7u);
  EXPECT_TRUE(as<VirtualTextPacket>(textDatagram(std::string(256, 'a'))));

  EXPECT_FALSE(classifyDatagram(textDatagram("")));                     // L = 0
  EXPECT_FALSE(classifyDatagram(textDatagram(std::string(257, 'a'))));  // L = 257
  EXPECT_FALSE(classifyDatagram(textDatagram("abc", 2)));               // field < size
  EXPECT_FALSE(classifyDatagram(textDatagram("abc", 4)));               // field > size
  EXPECT_FALSE(classifyDatagram(textDatagram("\xC3")));                 // truncated sequence
  EXPECT_FALSE(classifyDatagram(textDatagram("\xC0\xAF")));             // overlong
  EXPECT_FALSE(classifyDatagram(textDatagram("\xED\xA0\x80")));         // surrogate
  EXPECT_FALSE(classifyDatagram(textDatagram("\xF4\x90\x80\x80")));     // above U+10FFFF
  EXPECT_TRUE(classifyDatagram(textDatagram("\xF0\x9F\x98\x80")));      // U+1F600
}

// The rumble datagram's bytes are checked where the server sends them (gamepad_server_test).

}  // namespace
}  // namespace ferrowin::inputhelper
