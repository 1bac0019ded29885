#include "inputhelper/packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace ferrowin::inputhelper {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes withMagic(uint32_t magic, uint8_t version, size_t size) {
  Bytes d(size, 0);
  for (int i = 0; i < 4; ++i) d[i] = static_cast<uint8_t>(magic >> (8 * i));
  d[4] = version;
  return d;
}

Bytes textDatagram(const std::string& text, int lengthField = -1) {
  Bytes d = withMagic(0x56475543, 1, 12);
  const auto length = static_cast<uint16_t>(lengthField < 0 ? text.size() : lengthField);
  d[6] = static_cast<uint8_t>(length);
  d[7] = static_cast<uint8_t>(length >> 8);
  d[8] = 7;
  d.insert(d.end(), text.begin(), text.end());
  return d;
}

template <class T>
std::optional<T> as(const Bytes& d) {
  auto packet = classifyDatagram(d);
  if (!packet || !std::holds_alternative<T>(*packet)) return std::nullopt;
  return std::get<T>(*packet);
}

TEST(Packets, GamepadFieldsAreLittleEndian) {
  Bytes d = withMagic(0x56474D50, 1, 21);
  EXPECT_EQ((Bytes{d[0], d[1], d[2], d[3]}), (Bytes{0x50, 0x4D, 0x47, 0x56}));  // "PMGV"
  d[5] = d[6] = d[7] = 0xEE;                                                    // ignored
  d[8] = 0x01, d[9] = 0x02, d[10] = 0x03, d[11] = 0x04;
  d[12] = 0x34, d[13] = 0x12;
  d[14] = 3;
  for (int i = 15; i <= 20; ++i) d[i] = static_cast<uint8_t>(i);
  auto packet = as<VirtualGamepadPacket>(d);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->sequence, 0x04030201u);
  EXPECT_EQ(packet->report, (VirtualGamepadInputReport{0x1234, 3, 15, 16, 17, 18, 19, 20}));
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

TEST(Packets, LookMouseAndKeyFields) {
  Bytes look = withMagic(0x56474D4C, 1, 16);
  look[6] = 255, look[7] = 0x80, look[8] = 0x01, look[9] = 0x80, look[10] = 0xFF, look[11] = 0x7F;
  auto l = as<VirtualLookPacket>(look);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->stickX, 255);
  EXPECT_EQ(l->stickY, 0x80);
  EXPECT_EQ(l->gyroX, -32767);
  EXPECT_EQ(l->gyroY, 32767);

  Bytes mouse = withMagic(0x56474D53, 2, 15);
  mouse[5] = 0x0D, mouse[6] = 0x2C, mouse[7] = 0x01, mouse[8] = 0xFF, mouse[9] = 0xFF;
  mouse[10] = 0xFE, mouse[11] = 9;
  auto m = as<VirtualMousePacket>(mouse);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->flags, 0x0D);
  EXPECT_EQ(m->x, 300);
  EXPECT_EQ(m->y, 65535);
  EXPECT_EQ(m->wheel, -2);
  EXPECT_EQ(m->sequence, 9u);

  Bytes key = withMagic(0x56474B59, 1, 12);
  key[5] = 1, key[6] = 56, key[8] = 0xFF, key[9] = 0xFF, key[10] = 0xFF, key[11] = 0xFF;
  auto k = as<VirtualKeyPacket>(key);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->flags, 1);
  EXPECT_EQ(k->keyCode, 56);
  EXPECT_EQ(k->sequence, 0xFFFFFFFFu);
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
