#include "protocol/wire.h"

#include <algorithm>
#include <cstring>

namespace ferrowin::video {

using capture::CaptureColorSpace;
using capture::StreamConfig;
using capture::VirtualDisplayChoice;
using common::DeviceProfile;

std::string_view transportModeText(VideoTransportMode mode) {
  switch (mode) {
    case VideoTransportMode::tcp:
      return "tcp";
    case VideoTransportMode::udpArq:
      return "udp_arq";
    case VideoTransportMode::udpFec:
      return "udp_fec";
  }
  return "udp_arq";
}

std::optional<VideoTransportMode> transportModeFromText(std::string_view text) {
  for (auto mode : {VideoTransportMode::tcp, VideoTransportMode::udpArq, VideoTransportMode::udpFec}) {
    if (transportModeText(mode) == text) return mode;
  }
  return std::nullopt;
}

std::string_view transportModeLabel(VideoTransportMode mode) {
  switch (mode) {
    case VideoTransportMode::tcp:
      return "TCP";
    case VideoTransportMode::udpArq:
      return "UDP/ARQ";
    case VideoTransportMode::udpFec:
      return "UDP/FEC";
  }
  return "UDP/ARQ";
}

std::string_view description(WireError error) {
  switch (error) {
    case WireError::tooShort:
      return "too short";
    case WireError::badMagic:
      return "wrong magic";
    case WireError::badVersion:
      return "wrong version";
    case WireError::lengthMismatch:
      return "length does not match the payload length";
    case WireError::truncated:
      return "truncated";
    case WireError::tooLarge:
      return "too large";
  }
  return "malformed";
}

void VGVideoDatagramHeader::encode(uint8_t* out) const {
  putU32(out + 0, magic);
  out[4] = version;
  out[5] = packetType;
  putU16(out + 6, reserved0);
  putU32(out + 8, sequence);
  putU32(out + 12, frameId);
  putU16(out + 16, fragIndex);
  putU16(out + 18, fragCount);
  out[20] = flags;
  out[21] = fecBlockId;
  out[22] = fecShardIndex;
  out[23] = reserved1;
  putU64(out + 24, pts);
  putU16(out + 32, payloadLength);
  putU16(out + 34, reserved2);
}

VGVideoDatagramHeader VGVideoDatagramHeader::decode(const uint8_t* in) {
  VGVideoDatagramHeader h;
  h.magic = getU32(in + 0);
  h.version = in[4];
  h.packetType = in[5];
  h.reserved0 = getU16(in + 6);
  h.sequence = getU32(in + 8);
  h.frameId = getU32(in + 12);
  h.fragIndex = getU16(in + 16);
  h.fragCount = getU16(in + 18);
  h.flags = in[20];
  h.fecBlockId = in[21];
  h.fecShardIndex = in[22];
  h.reserved1 = in[23];
  h.pts = getU64(in + 24);
  h.payloadLength = getU16(in + 32);
  h.reserved2 = getU16(in + 34);
  return h;
}

Expected<ParsedDatagram, WireError> parseDatagram(ByteView bytes) {
  if (bytes.size() < kDatagramHeaderSize) return make_unexpected(WireError::tooShort);
  const VGVideoDatagramHeader header = VGVideoDatagramHeader::decode(bytes.data());
  if (header.magic != kVideoMagic) return make_unexpected(WireError::badMagic);
  if (header.version != kDatagramVersion) return make_unexpected(WireError::badVersion);
  if (bytes.size() != kDatagramHeaderSize + header.payloadLength) {
    return make_unexpected(WireError::lengthMismatch);
  }
  return ParsedDatagram{header, bytes.subspan(kDatagramHeaderSize)};
}

Bytes buildSingleDatagram(PacketType type, uint32_t sequence, ByteView payload) {
  VGVideoDatagramHeader header;
  header.packetType = static_cast<uint8_t>(type);
  header.sequence = sequence;
  header.payloadLength = static_cast<uint16_t>(payload.size());
  Bytes out(kDatagramHeaderSize + payload.size());
  header.encode(out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + kDatagramHeaderSize);
  return out;
}

void VideoMessageHeader::encode(uint8_t* out) const {
  putU32(out + 0, kVideoMagic);
  out[4] = kMessageVersion;
  out[5] = kind;
  out[6] = flags;
  out[7] = 0;
  putU32(out + 8, length);
  putU64(out + 12, pts);
}

Expected<VideoMessageHeader, WireError> parseMessageHeader(ByteView bytes) {
  if (bytes.size() < kMessageHeaderSize) return make_unexpected(WireError::tooShort);
  if (getU32(bytes.data()) != kVideoMagic) return make_unexpected(WireError::badMagic);
  if (bytes[4] != kMessageVersion) return make_unexpected(WireError::badVersion);
  VideoMessageHeader header;
  header.kind = bytes[5];
  header.flags = bytes[6];
  header.length = getU32(bytes.data() + 8);
  header.pts = getU64(bytes.data() + 12);
  return header;
}

Expected<uint32_t, WireError> parseClientFrameHeader(ByteView bytes) {
  if (bytes.size() < kMessageHeaderSize) return make_unexpected(WireError::tooShort);
  if (getU32(bytes.data()) != kVideoMagic) return make_unexpected(WireError::badMagic);
  const uint32_t length = getU32(bytes.data() + 8);
  if (length > kMaxClientFrameLength) return make_unexpected(WireError::tooLarge);
  return length;
}

Bytes frameMessage(MessageKind kind, uint8_t flags, uint64_t pts, ByteView payload) {
  Bytes out(kMessageHeaderSize + payload.size());
  VideoMessageHeader{static_cast<uint8_t>(kind), flags, static_cast<uint32_t>(payload.size()), pts}
      .encode(out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + kMessageHeaderSize);
  return out;
}

Bytes encodeParameterSetsPayload(const std::vector<Bytes>& blobs, int width, int height) {
  std::vector<const Bytes*> kept;
  for (const Bytes& blob : blobs) {
    if (kept.size() == 255) break;
    if (blob.size() <= 0xFFFF) kept.push_back(&blob);
  }
  Bytes out;
  out.push_back(static_cast<uint8_t>(kept.size()));
  for (const Bytes* blob : kept) {
    uint8_t length[2];
    putU16(length, static_cast<uint16_t>(blob->size()));
    out.insert(out.end(), length, length + 2);
    out.insert(out.end(), blob->begin(), blob->end());
  }
  uint8_t size[4];
  putU16(size, static_cast<uint16_t>(std::clamp(width, 0, 0xFFFF)));
  putU16(size + 2, static_cast<uint16_t>(std::clamp(height, 0, 0xFFFF)));
  out.insert(out.end(), size, size + 4);
  return out;
}

Expected<ParameterSets, WireError> parseParameterSetsPayload(ByteView bytes) {
  if (bytes.empty()) return make_unexpected(WireError::tooShort);
  ParameterSets result;
  size_t at = 1;
  for (int i = 0; i < bytes[0]; ++i) {
    if (bytes.size() - at < 2) return make_unexpected(WireError::truncated);
    const size_t length = getU16(bytes.data() + at);
    at += 2;
    if (bytes.size() - at < length) return make_unexpected(WireError::truncated);
    result.blobs.emplace_back(bytes.begin() + at, bytes.begin() + at + length);
    at += length;
  }
  if (bytes.size() - at != 4) return make_unexpected(WireError::lengthMismatch);
  result.width = getU16(bytes.data() + at);
  result.height = getU16(bytes.data() + at + 2);
  return result;
}

size_t streamConfigMessageLength(uint8_t version) {
  if (version <= 1) return 16;
  if (version == 2) return 22;
  if (version == 3) return 26;
  return 30;
}

Bytes encodeStreamConfigMessage(const StreamConfig& config, uint8_t version) {
  Bytes out(streamConfigMessageLength(version), 0);
  putU32(out.data(), kVideoMagic);
  out[4] = version;
  putU16(out.data() + 6, static_cast<uint16_t>(config.width));
  putU16(out.data() + 8, static_cast<uint16_t>(config.height));
  putU16(out.data() + 10, static_cast<uint16_t>(config.fps));
  putU32(out.data() + 12, static_cast<uint32_t>(config.bitrateKbps));
  if (out.size() >= 22) {
    out[16] = config.audioEnabled ? 1 : 0;
    out[18] = static_cast<uint8_t>(config.audioChannels);
    putU16(out.data() + 20, static_cast<uint16_t>(config.audioBitrateKbps));
  }
  if (out.size() >= 26) {
    out[22] = config.gamepadEnabled ? 1 : 0;
    out[23] = config.gamepadProfile == DeviceProfile::generic ? 1 : 2;
    out[24] = config.remapToKBMEnabled ? 1 : 0;
    out[25] = config.steamSupport ? 1 : 2;
  }
  if (out.size() >= 30) {
    out[26] = config.colorSpace == CaptureColorSpace::srgb ? 1 : 2;
    out[27] = config.virtualDisplay == VirtualDisplayChoice::extended ? 1
              : config.virtualDisplay == VirtualDisplayChoice::main  ? 2
                                                                     : 0;
  }
  return out;
}

Expected<StreamConfig, WireError> parseStreamConfigMessage(ByteView bytes) {
  if (bytes.size() < 16) return make_unexpected(WireError::tooShort);
  if (getU32(bytes.data()) != kVideoMagic) return make_unexpected(WireError::badMagic);
  const uint8_t* in = bytes.data();
  const uint8_t version = in[4];
  auto orDefault = [](int value, int fallback) { return value == 0 ? fallback : value; };
  StreamConfig config;
  config.width = orDefault(getU16(in + 6), config.width);
  config.height = orDefault(getU16(in + 8), config.height);
  config.fps = orDefault(getU16(in + 10), config.fps);
  config.bitrateKbps = static_cast<int>(getU32(in + 12));
  if (config.bitrateKbps <= 0) config.bitrateKbps = StreamConfig{}.bitrateKbps;
  if (version >= 2 && bytes.size() >= 22) {
    config.audioEnabled = in[16] != 0;
    config.audioChannels = orDefault(in[18], config.audioChannels);
    config.audioBitrateKbps = orDefault(getU16(in + 20), config.audioBitrateKbps);
  }
  if (version >= 3 && bytes.size() >= 26) {
    config.gamepadEnabled = in[22] != 0;
    config.gamepadProfile = in[23] == 1 ? DeviceProfile::generic : DeviceProfile::xbox;
    config.remapToKBMEnabled = in[24] != 0;
    config.steamSupport = in[25] != 2;
  }
  if (version >= 4 && bytes.size() >= 30) {
    config.colorSpace = in[26] == 1 ? CaptureColorSpace::srgb : CaptureColorSpace::displayP3;
    config.virtualDisplay = in[27] == 1   ? VirtualDisplayChoice::extended
                            : in[27] == 2 ? VirtualDisplayChoice::main
                                          : VirtualDisplayChoice::none;
  }
  return config;
}

Bytes encodeRetransmitRequest(std::span<const uint32_t> sequences) {
  const size_t count = std::min<size_t>(sequences.size(), 0xFFFF);
  Bytes out(2 + 4 * count);
  putU16(out.data(), static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) putU32(out.data() + 2 + 4 * i, sequences[i]);
  return out;
}

Expected<std::vector<uint32_t>, WireError> parseRetransmitRequest(ByteView bytes) {
  if (bytes.size() < 2) return make_unexpected(WireError::tooShort);
  const size_t count = getU16(bytes.data());
  if (bytes.size() < 2 + 4 * count) return make_unexpected(WireError::truncated);
  std::vector<uint32_t> sequences(count);
  for (size_t i = 0; i < count; ++i) sequences[i] = getU32(bytes.data() + 2 + 4 * i);
  return sequences;
}

Bytes buildProbeDatagram(uint32_t sequence, uint8_t step) {
  uint8_t payload[kProbePayloadSize] = {};
  payload[0] = 2;
  payload[1] = step;
  putU32(payload + 4, sequence);
  return buildSingleDatagram(PacketType::probe, sequence, ByteView(payload, sizeof payload));
}

Expected<ProbePayload, WireError> parseProbePayload(ByteView bytes) {
  if (bytes.size() < 8) return make_unexpected(WireError::tooShort);
  if (bytes[0] != 2) return make_unexpected(WireError::badVersion);
  return ProbePayload{bytes[1], getU32(bytes.data() + 4)};
}

}  // namespace ferrowin::video
