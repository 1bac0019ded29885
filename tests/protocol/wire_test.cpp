#include "protocol/wire.h"

#include <gtest/gtest.h>

#include "protocol/stream_config.h"

namespace ferrowin::video {
namespace {

using capture::CaptureColorSpace;
using capture::StreamConfig;
using capture::VirtualDisplayChoice;
using common::DeviceProfile;

Bytes configBytes(uint8_t version, size_t length) {
  Bytes out(length, 0);
  putU32(out.data(), kVideoMagic);
  out[4] = version;
  return out;
}

TEST(DatagramHeader, LaysOutEveryFieldLittleEndian) {
  VGVideoDatagramHeader h;
  h.packetType = 3;
  h.sequence = 0x01020304;
  h.frameId = 0x0A0B0C0D;
  h.fragIndex = 0x1122;
  h.fragCount = 0x3344;
  h.flags = 1;
  h.fecBlockId = 7;
  h.fecShardIndex = 9;
  h.pts = 0x1122334455667788ull;
  h.payloadLength = 0x0102;
  uint8_t out[kDatagramHeaderSize];
  h.encode(out);
  const uint8_t expected[kDatagramHeaderSize] = {
      0x44, 0x56, 0x47, 0x56, 2,    3,    0,    0,    0x04, 0x03, 0x02, 0x01,
      0x0D, 0x0C, 0x0B, 0x0A, 0x22, 0x11, 0x44, 0x33, 1,    7,    9,    0,
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x02, 0x01, 0,    0};
  EXPECT_EQ(Bytes(out, out + sizeof out), Bytes(expected, expected + sizeof expected));
  EXPECT_EQ(VGVideoDatagramHeader::decode(out), h);
}

TEST(DatagramHeader, AcceptsOnlyExactLengthsMagicAndVersion) {
  Bytes datagram = buildSingleDatagram(PacketType::echoRequest, 5, Bytes(12, 0xAB));
  ASSERT_TRUE(parseDatagram(datagram));
  EXPECT_EQ(parseDatagram(datagram)->payload.size(), 12u);

  Bytes longer = datagram;
  longer.push_back(0);  // payloadLength + 37
  EXPECT_EQ(parseDatagram(longer).error(), WireError::lengthMismatch);
  Bytes shorter(datagram.begin(), datagram.end() - 1);
  EXPECT_EQ(parseDatagram(shorter).error(), WireError::lengthMismatch);
  EXPECT_EQ(parseDatagram(ByteView(datagram.data(), 35)).error(), WireError::tooShort);
  Bytes badMagic = datagram;
  badMagic[0] ^= 1;
  EXPECT_EQ(parseDatagram(badMagic).error(), WireError::badMagic);
  Bytes badVersion = datagram;
  badVersion[4] = 1;
  EXPECT_EQ(parseDatagram(badVersion).error(), WireError::badVersion);
}

TEST(MessageHeader, FramesKindFlagsLengthAndPts) {
  const Bytes payload = {9, 8, 7};
  const Bytes message = frameMessage(MessageKind::videoFrame, kKeyframeFlag, 0x0102030405, payload);
  const Bytes expected = {0x44, 0x56, 0x47, 0x56, 1, 2, 1, 0, 3, 0, 0, 0,
                          0x05, 0x04, 0x03, 0x02, 1, 0, 0, 0, 9, 8, 7};
  EXPECT_EQ(message, expected);
  auto header = parseMessageHeader(message);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->length, 3u);
  EXPECT_EQ(header->pts, 0x0102030405u);
}

TEST(ParameterSets, RoundTripAndClampTheSize) {
  const std::vector<Bytes> blobs = {{1, 2, 3}, {}, Bytes(300, 0x55)};
  Bytes payload = encodeParameterSetsPayload(blobs, 70000, -5);
  EXPECT_EQ(payload[0], 3);
  EXPECT_EQ(payload.size(), 1u + (2 + 3) + 2 + (2 + 300) + 4);
  auto parsed = parseParameterSetsPayload(payload);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->blobs, blobs);
  EXPECT_EQ(parsed->width, 65535);
  EXPECT_EQ(parsed->height, 0);
  payload.pop_back();
  EXPECT_FALSE(parseParameterSetsPayload(payload));
}

TEST(StreamConfigMessage, ZeroesMeanDefaultsAndShortOrForeignMessagesAreRefused) {
  auto config = parseStreamConfigMessage(configBytes(1, 16));
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, StreamConfig{});
  EXPECT_EQ(config->width, 1280);
  EXPECT_EQ(config->fps, 60);
  EXPECT_FALSE(parseStreamConfigMessage(configBytes(4, 15)));
  Bytes foreign = configBytes(4, 30);
  foreign[3] = 0;
  EXPECT_EQ(parseStreamConfigMessage(foreign).error(), WireError::badMagic);
}

TEST(StreamConfigMessage, ReadsOnlyTheGroupsVersionAndLengthCover) {
  Bytes bytes = configBytes(2, 30);
  bytes[16] = 1;  // audio on
  bytes[18] = 6;  // channels
  putU16(bytes.data() + 20, 96);
  bytes[22] = 1;  // gamepad on: not read by a version-2 message
  bytes[23] = 1;
  bytes[25] = 2;
  bytes[26] = 1;
  bytes[27] = 2;
  auto config = parseStreamConfigMessage(bytes);
  ASSERT_TRUE(config);
  EXPECT_TRUE(config->audioEnabled);
  EXPECT_EQ(config->audioChannels, 6);
  EXPECT_EQ(config->audioBitrateKbps, 96);
  EXPECT_FALSE(config->gamepadEnabled);
  EXPECT_EQ(config->gamepadProfile, DeviceProfile::xbox);
  EXPECT_TRUE(config->steamSupport);
  EXPECT_EQ(config->colorSpace, CaptureColorSpace::displayP3);
  EXPECT_EQ(config->virtualDisplay, VirtualDisplayChoice::none);

  // Version 4 but only 29 bytes: the colour group needs 30.
  Bytes v4short = configBytes(4, 29);
  v4short[26] = 1;
  v4short[23] = 1;
  auto partial = parseStreamConfigMessage(v4short);
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->gamepadProfile, DeviceProfile::generic);
  EXPECT_EQ(partial->colorSpace, CaptureColorSpace::displayP3);
}

TEST(StreamConfigMessage, MapsEveryByteValueAsDocumented) {
  auto parseWith = [](int offset, uint8_t value) {
    Bytes bytes = configBytes(4, 30);
    bytes[offset] = value;
    return *parseStreamConfigMessage(bytes);
  };
  // Unknown values read as the default.
  EXPECT_EQ(parseWith(23, 1).gamepadProfile, DeviceProfile::generic);
  EXPECT_EQ(parseWith(23, 2).gamepadProfile, DeviceProfile::xbox);
  EXPECT_TRUE(parseWith(25, 1).steamSupport);
  EXPECT_FALSE(parseWith(25, 2).steamSupport);
  EXPECT_EQ(parseWith(26, 1).colorSpace, CaptureColorSpace::srgb);
  EXPECT_EQ(parseWith(27, 1).virtualDisplay, VirtualDisplayChoice::extended);
  EXPECT_EQ(parseWith(27, 3).virtualDisplay, VirtualDisplayChoice::none);
  EXPECT_TRUE(parseWith(22, 5).gamepadEnabled);
}

TEST(StreamConfigMessage, ClientEncodingRoundTripsAtEveryVersion) {
  StreamConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 120;
  config.bitrateKbps = 30000;
  config.audioEnabled = true;
  config.audioChannels = 1;
  config.audioBitrateKbps = 128;
  config.gamepadEnabled = true;
  config.gamepadProfile = DeviceProfile::generic;
  config.remapToKBMEnabled = true;
  config.steamSupport = false;
  config.colorSpace = CaptureColorSpace::srgb;
  config.virtualDisplay = VirtualDisplayChoice::main;
  EXPECT_EQ(encodeStreamConfigMessage(config, 4).size(), 30u);
  EXPECT_EQ(*parseStreamConfigMessage(encodeStreamConfigMessage(config, 4)), config);
  auto v1 = *parseStreamConfigMessage(encodeStreamConfigMessage(config, 1));
  EXPECT_EQ(v1.width, 1920);
  EXPECT_FALSE(v1.audioEnabled);
  EXPECT_EQ(streamConfigMessageLength(2), 22u);
  EXPECT_EQ(streamConfigMessageLength(9), 30u);
}

TEST(RetransmitRequest, NeedsTheWholeListOrNothing) {
  const std::vector<uint32_t> sequences = {7, 7, 0xFFFFFFFF};
  Bytes bytes = encodeRetransmitRequest(sequences);
  EXPECT_EQ(*parseRetransmitRequest(bytes), sequences);
  Bytes claimsThree(10, 0);
  putU16(claimsThree.data(), 3);  // needs 14 bytes
  EXPECT_FALSE(parseRetransmitRequest(claimsThree));
  EXPECT_FALSE(parseRetransmitRequest(Bytes{1}));
  EXPECT_TRUE(parseRetransmitRequest(Bytes{0, 0})->empty());
}

TEST(Probe, DatagramCarriesStepAndSequence) {
  Bytes datagram = buildProbeDatagram(1234, 3);
  ASSERT_EQ(datagram.size(), 1236u);
  auto parsed = parseDatagram(datagram);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->header.packetType, 7);
  EXPECT_EQ(parsed->header.sequence, 1234u);
  auto probe = parseProbePayload(parsed->payload);
  EXPECT_EQ(probe->step, 3);
  EXPECT_EQ(probe->sequence, 1234u);
}

TEST(TransportMode, TextsAndLabels) {
  EXPECT_EQ(transportModeFromText("udp_fec"), VideoTransportMode::udpFec);
  EXPECT_EQ(transportModeFromText("UDP"), std::nullopt);
  EXPECT_EQ(transportModeLabel(VideoTransportMode::tcp), "TCP");
}

TEST(ColorTags, ShortSummaries) {
  EXPECT_EQ(capture::colorSummary(CaptureColorSpace::displayP3), "P3_D65/sRGB/709");
  EXPECT_EQ(capture::shortColorName("ITU_R_2020"), "2020");
  EXPECT_EQ(capture::shortColorName("Linear"), "Linear");
}

}  // namespace
}  // namespace ferrowin::video
