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

// The layout by version: group by group, read only where the version and the length reach it;
// zeroes and unknown values read as the defaults.
TEST(StreamConfigMessage, ReadsEachGroupOnlyWhereTheVersionAndLengthCoverItAndRoundTrips) {
  EXPECT_EQ(parseStreamConfigMessage(configBytes(1, 16)).value(), StreamConfig{});
  EXPECT_FALSE(parseStreamConfigMessage(configBytes(4, 15)));
  Bytes foreign = configBytes(4, 30);
  foreign[3] = 0;
  EXPECT_EQ(parseStreamConfigMessage(foreign).error(), WireError::badMagic);

  Bytes bytes = configBytes(2, 30);
  bytes[16] = 1;  // audio on
  bytes[18] = 6;  // channels
  putU16(bytes.data() + 20, 96);
  bytes[22] = 1;  // gamepad on: not read by a version-2 message
  bytes[23] = 2;
  auto v2 = parseStreamConfigMessage(bytes).value();
  EXPECT_TRUE(v2.audioEnabled);
  EXPECT_EQ(v2.audioChannels, 6);
  EXPECT_EQ(v2.audioBitrateKbps, 96);
  EXPECT_FALSE(v2.gamepadEnabled);
  EXPECT_EQ(v2.gamepadProfile, DeviceProfile::xbox);

  // Version 4 but only 29 bytes: the colour group needs 30.
  Bytes v4short = configBytes(4, 29);
  v4short[23] = 1;  // an unknown profile
  v4short[25] = 2;  // steam support: only 1 is on
  v4short[26] = 1;
  v4short[27] = 3;  // an unknown virtual display choice
  auto partial = parseStreamConfigMessage(v4short).value();
  EXPECT_EQ(partial.gamepadProfile, DeviceProfile::generic);
  EXPECT_FALSE(partial.steamSupport);
  EXPECT_EQ(partial.colorSpace, CaptureColorSpace::displayP3);
  EXPECT_EQ(partial.virtualDisplay, VirtualDisplayChoice::none);
  Bytes v4 = configBytes(4, 30);
  v4[22] = 5;
  v4[26] = 1;
  v4[27] = 1;
  auto full = parseStreamConfigMessage(v4).value();
  EXPECT_TRUE(full.gamepadEnabled);
  EXPECT_EQ(full.colorSpace, CaptureColorSpace::srgb);
  EXPECT_EQ(full.virtualDisplay, VirtualDisplayChoice::extended);

  // The client's encoding round-trips at every version.
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
  EXPECT_EQ(streamConfigMessageLength(9), 30u);
}

TEST(RetransmitRequest, CountThenSequencesLittleEndian) {
  const std::vector<uint32_t> sequences = {7, 0xFFFFFFFF};
  const Bytes expected = {2, 0, 7, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(encodeRetransmitRequest(sequences), expected);
  EXPECT_EQ(*parseRetransmitRequest(expected), sequences);
  // A count the list cannot hold is refused as a whole.
  EXPECT_FALSE(parseRetransmitRequest(Bytes(expected.begin(), expected.end() - 1)));
}

TEST(Probe, DatagramCarriesStepAndSequence) {
  Bytes datagram = buildProbeDatagram(1234, 3);
  ASSERT_EQ(datagram.size(), 1236u);
  auto parsed = parseDatagram(datagram);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->header.packetType, 7);
  EXPECT_EQ(Bytes(parsed->payload.begin(), parsed->payload.begin() + 8),
            (Bytes{2, 3, 0, 0, 0xD2, 0x04, 0, 0}));
}

// The transport's setting value and status label, and the colour summary in the statistics.
TEST(WireTexts, TransportModesAndColourTags) {
  EXPECT_EQ(transportModeFromText("udp_fec"), VideoTransportMode::udpFec);
  EXPECT_EQ(transportModeFromText("UDP"), std::nullopt);
  EXPECT_EQ(transportModeLabel(VideoTransportMode::tcp), "TCP");
  EXPECT_EQ(capture::colorSummary(CaptureColorSpace::displayP3), "P3_D65/sRGB/709");
  EXPECT_EQ(capture::shortColorName("ITU_R_2020"), "2020");
}

}  // namespace
}  // namespace ferrowin::video
