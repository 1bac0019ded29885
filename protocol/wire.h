#pragma once
// The video wire formats, byte for byte: the 36-byte datagram header, the 20-byte stream message
// header, the parameter-set payload, the client's stream configuration message, the retransmission
// request and the probe payload. Everything is little-endian and packed. Encoders write bytes;
// parsers take bytes and return a value or a typed error, never reading past the input.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"
#include "protocol/stream_config.h"

namespace ferrowin::video {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline constexpr uint32_t kVideoMagic = 0x56475644;  // "DVGV" on the wire
inline constexpr uint8_t kDatagramVersion = 2;
inline constexpr uint8_t kMessageVersion = 1;
inline constexpr size_t kDatagramHeaderSize = 36;
inline constexpr size_t kMessageHeaderSize = 20;
inline constexpr size_t kMaxFragmentPayload = 1200;
inline constexpr size_t kMaxDatagramSize = kDatagramHeaderSize + kMaxFragmentPayload;
/// fragCount is 16 bits: a message must fit in 65535 fragments.
inline constexpr size_t kMaxFragmentedMessageSize = 65535 * kMaxFragmentPayload;

enum class PacketType : uint8_t {
  hello = 1,
  helloAck = 2,
  fragment = 3,
  retransmitRequest = 4,
  fecParity = 5,
  probeRequest = 6,
  probe = 7,
  echoRequest = 8,
  echoReply = 9,
  keepalive = 10,
};

enum class MessageKind : uint8_t {
  parameterSets = 1,
  videoFrame = 2,
  audioConfig = 3,
  audioPacket = 4,
  keepalive = 5,  // TCP only
};

inline constexpr uint8_t kKeyframeFlag = 0x01;

enum class VideoTransportMode { tcp, udpArq, udpFec };

/// "tcp", "udp_arq", "udp_fec": the form used in settings and the control API.
std::string_view transportModeText(VideoTransportMode mode);
std::optional<VideoTransportMode> transportModeFromText(std::string_view text);
/// "TCP", "UDP/ARQ", "UDP/FEC": the form used in status texts.
std::string_view transportModeLabel(VideoTransportMode mode);

enum class WireError {
  tooShort,
  badMagic,
  badVersion,
  lengthMismatch,
  truncated,
  tooLarge,
};
std::string_view description(WireError error);

struct VGVideoDatagramHeader {
  uint32_t magic = kVideoMagic;
  uint8_t version = kDatagramVersion;
  uint8_t packetType = 0;
  uint16_t reserved0 = 0;
  uint32_t sequence = 0;
  uint32_t frameId = 0;
  uint16_t fragIndex = 0;
  uint16_t fragCount = 1;
  uint8_t flags = 0;
  uint8_t fecBlockId = 0;
  uint8_t fecShardIndex = 0;
  uint8_t reserved1 = 0;
  uint64_t pts = 0;
  uint16_t payloadLength = 0;
  uint16_t reserved2 = 0;

  /// Writes exactly kDatagramHeaderSize bytes.
  void encode(uint8_t* out) const;
  /// Reads the fields of the first 36 bytes; checks nothing. `in` must hold 36 bytes.
  static VGVideoDatagramHeader decode(const uint8_t* in);

  bool operator==(const VGVideoDatagramHeader&) const = default;
};

struct ParsedDatagram {
  VGVideoDatagramHeader header;
  ByteView payload;
};

/// Accepts a datagram only when it has the magic, version 2 and exactly payloadLength payload bytes.
[[nodiscard]] Expected<ParsedDatagram, WireError> parseDatagram(ByteView bytes);

/// A single (non-fragment) datagram: frameId 0, fragCount 1, no flags, FEC fields or pts.
Bytes buildSingleDatagram(PacketType type, uint32_t sequence, ByteView payload);

struct VideoMessageHeader {
  uint8_t kind = 0;
  uint8_t flags = 0;
  uint32_t length = 0;
  uint64_t pts = 0;

  void encode(uint8_t* out) const;  // exactly kMessageHeaderSize bytes
  bool operator==(const VideoMessageHeader&) const = default;
};

/// Checks the magic and version 1 of a 20-byte header (the payload is not looked at).
[[nodiscard]] Expected<VideoMessageHeader, WireError> parseMessageHeader(ByteView bytes);

/// What the host checks of a frame a TCP client sends: the magic and a length of at most 65536.
/// Returns the payload length that follows the 20-byte header.
inline constexpr uint32_t kMaxClientFrameLength = 65536;
[[nodiscard]] Expected<uint32_t, WireError> parseClientFrameHeader(ByteView bytes);

/// Header followed by the payload.
Bytes frameMessage(MessageKind kind, uint8_t flags, uint64_t pts, ByteView payload);

struct ParameterSets {
  std::vector<Bytes> blobs;
  int width = 0;
  int height = 0;
  bool operator==(const ParameterSets&) const = default;
};

/// u8 count, then u16 length + bytes per blob, then u16 width and height (clamped to 0-65535).
/// At most 255 blobs of at most 65535 bytes each are written; callers pass HEVC parameter sets,
/// which are far inside both limits.
Bytes encodeParameterSetsPayload(const std::vector<Bytes>& blobs, int width, int height);
[[nodiscard]] Expected<ParameterSets, WireError> parseParameterSetsPayload(ByteView bytes);

/// Length of the client's configuration message on TCP, decided by its version byte.
size_t streamConfigMessageLength(uint8_t version);

/// The configuration message as a client writes it; versions 1-4 (16, 22, 26 or 30 bytes).
Bytes encodeStreamConfigMessage(const capture::StreamConfig& config, uint8_t version = 4);
/// Reads each field group only when the version and length cover it; otherwise its default applies.
[[nodiscard]] Expected<capture::StreamConfig, WireError> parseStreamConfigMessage(ByteView bytes);

/// u16 count, then count u32 sequence numbers.
Bytes encodeRetransmitRequest(std::span<const uint32_t> sequences);
[[nodiscard]] Expected<std::vector<uint32_t>, WireError> parseRetransmitRequest(ByteView bytes);

inline constexpr size_t kProbePayloadSize = 1200;
Bytes buildProbeDatagram(uint32_t sequence, uint8_t step);
struct ProbePayload {
  uint8_t step = 0;
  uint32_t sequence = 0;
};
[[nodiscard]] Expected<ProbePayload, WireError> parseProbePayload(ByteView bytes);

// Little-endian helpers.
inline void putU16(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putU64(uint8_t* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t getU16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }
inline uint32_t getU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}
inline uint64_t getU64(const uint8_t* in) {
  return static_cast<uint64_t>(getU32(in)) | (static_cast<uint64_t>(getU32(in + 4)) << 32);
}

}  // namespace ferrowin::video
