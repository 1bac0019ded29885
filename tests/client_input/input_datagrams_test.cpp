// Every datagram the client encodes is read back by the helper's classifier as the same packet;
// the rumble parser takes exactly what the helper's encoder makes; the sequence counter.

#include "client/input/input_datagrams.h"

#include <gtest/gtest.h>

#include <fstream>

#include "client/input/input_sender.h"
#include "inputhelper/packets.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

using namespace inputhelper;

template <class Packet>
Packet classifiedAs(const Datagram& datagram) {
  auto packet = classifyDatagram(datagram);
  EXPECT_TRUE(packet.has_value());
  EXPECT_TRUE(packet && std::holds_alternative<Packet>(*packet));
  if (!packet || !std::holds_alternative<Packet>(*packet)) return {};
  return std::get<Packet>(*packet);
}

TEST(InputDatagrams, EachKindIsClassifiedBackToItsValues) {
  const VirtualGamepadInputReport report{0xA55A, 3, 0, 255, 17, 200, 9, 250};
  auto pad = classifiedAs<VirtualGamepadPacket>(encodeGamepadDatagram({0x01020304, report}));
  EXPECT_EQ(pad.sequence, 0x01020304u);
  EXPECT_EQ(pad.report, report);

  auto look = classifiedAs<VirtualLookPacket>(encodeLookDatagram({12, 250, -32768, 1234}));
  EXPECT_EQ(look.gyroX, -32768);

  auto mouse = classifiedAs<VirtualMousePacket>(
      encodeMouseDatagram({0x0F, static_cast<uint16_t>(-300), 65535, -5, 0xFFFFFFFF}));
  EXPECT_EQ(mouse.flags, 0x0F);
  EXPECT_EQ(mouse.wheel, -5);
  EXPECT_EQ(mouse.sequence, 0xFFFFFFFFu);
  EXPECT_EQ(classifiedAs<VirtualKeyPacket>(encodeKeyDatagram({0x81, 0x3A, 7})).flags, 0x81);

  auto encoded = encodeTextDatagram({42, "héllo ✓"});
  ASSERT_TRUE(encoded);
  auto text = classifiedAs<VirtualTextPacket>(*encoded);
  EXPECT_EQ(text.sequence, 42u);
  EXPECT_EQ(text.text, "héllo ✓");
}

TEST(InputDatagrams, TextOutsideWhatTheHelperAcceptsIsAnError) {
  EXPECT_TRUE(encodeTextDatagram({1, std::string(256, 'a')}));
  EXPECT_FALSE(encodeTextDatagram({1, ""}));
  EXPECT_FALSE(encodeTextDatagram({1, std::string(257, 'a')}));
  EXPECT_FALSE(encodeTextDatagram({1, "\xC0\xAF"}));      // overlong
  EXPECT_FALSE(encodeTextDatagram({1, "\xED\xA0\x80"}));  // surrogate
}

TEST(RumbleDatagram, ParsesTheHelpersEncodingAndNothingElse) {
  const auto bytes = encodeRumblePacket({1, 2, 254, 255, 0xBEEF}, 0x80000001);
  auto rumble = parseRumbleDatagram(bytes);
  ASSERT_TRUE(rumble);
  EXPECT_EQ(rumble->sequence, 0x80000001u);
  EXPECT_EQ(rumble->motors.m2, 254);
  EXPECT_EQ(rumble->motors.duration, 0xBEEF);

  std::vector<uint8_t> longer(bytes.begin(), bytes.end());
  longer.push_back(0);
  EXPECT_FALSE(parseRumbleDatagram(longer));
  EXPECT_FALSE(parseRumbleDatagram(std::span(bytes).first(17)));
  auto wrongVersion = bytes;
  wrongVersion[4] = 2;
  EXPECT_FALSE(parseRumbleDatagram(wrongVersion));
  auto wrongMagic = bytes;
  wrongMagic[0] ^= 1;
  EXPECT_FALSE(parseRumbleDatagram(wrongMagic));
  // An input datagram echoed back is not rumble.
  EXPECT_FALSE(parseRumbleDatagram(encodeGamepadDatagram({1, {}})));
}

TEST(InputSequence, CountsAcrossRunsAndRestartsAtZeroWithoutAUsableCounter) {
  testing::TempDir dir;
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u);
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 1u);
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 2u);

  std::ofstream(dir / "input-sequence") << "4294967295\n";
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u);  // wraps
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 1u);

  std::ofstream(dir / "input-sequence") << "garbage";
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u);
  std::ofstream(dir / "input-sequence") << "99999999999";  // beyond u32
  EXPECT_EQ(takeInputSequence(dir.path()).value(), 0u);
}

}  // namespace
}  // namespace ferrowin::client
