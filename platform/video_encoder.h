#pragma once
// The HEVC encoder: one session per frame size, fed BGRA frames, answering with Annex B access
// units. A narrow interface so the encoder session logic above it never sees FFmpeg.
//
// Threading: encode() may be called from any one thread (the capture queue). Each call is answered
// exactly once, in submission order, on the encoder's own thread; the answer may carry an error.
// Destroying the encoder answers frames that have not started with `cancelled`, waits for the one
// being encoded, and then no answer comes any more.

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"
#include "platform/bgra_frame.h"

namespace ferrowin::platform {

/// Which encoder to use: "auto" prefers hardware and falls back to software, "hardware" fails
/// without one, "software" always uses libx265.
enum class EncoderPreference { automatic, hardware, software };

/// The user default that holds the preference ("auto", "hardware" or "software").
inline constexpr std::string_view kEncoderSettingKey = "ferrowin.video.encoder";

std::optional<EncoderPreference> encoderPreferenceFromText(std::string_view text);
std::string_view encoderPreferenceText(EncoderPreference preference);

/// The preference in force: the command line's for this run, else the saved setting, else
/// automatic (a text that names no preference counts as absent).
EncoderPreference resolveEncoderPreference(const std::optional<std::string>& commandLine,
                                           const std::optional<std::string>& saved);

/// The colour space the picture is tagged with. Both use the sRGB transfer function and the
/// BT.709 matrix; they differ in the primaries (BT.709 or Display P3, i.e. SMPTE EG 432 D65).
enum class EncoderColorSpace { srgb, displayP3 };

struct VideoEncoderSettings {
  int width = 0;
  int height = 0;
  int fps = 60;
  int bitrateKbps = 12000;
  EncoderColorSpace colorSpace = EncoderColorSpace::displayP3;
  EncoderPreference preference = EncoderPreference::automatic;

  bool operator==(const VideoEncoderSettings&) const = default;
};

struct EncodedPacket {
  /// One access unit in Annex B form (start-code delimited NAL units). A keyframe starts with the
  /// VPS, SPS and PPS.
  std::vector<uint8_t> annexB;
  bool keyframe = false;
  int64_t ptsMicros = 0;
  /// Where the frame's time in the encoder went: waiting for the encoder's thread, converting the
  /// picture to the encoder's pixel format, and the codec itself.
  double queuedMs = 0;
  double convertMs = 0;
  double codecMs = 0;
};

struct VideoEncoderError {
  enum class Code {
    hardwareUnavailable,  // "hardware" preference and no hardware encoder opened
    creationFailed,       // no encoder could be opened with these settings
    encodeFailed,         // the encoder refused a frame
    emptyOutput,          // the encoder took the frame but produced nothing for it
    cancelled,            // the encoder was destroyed before the frame was encoded
  };
  Code code = Code::creationFailed;
  int status = 0;  // the FFmpeg error code behind it, 0 when there is none

  std::string description() const;
};

class VideoEncoder {
 public:
  using Completion = std::function<void(Expected<EncodedPacket, VideoEncoderError>)>;

  virtual ~VideoEncoder() = default;
  /// "libx265", "hevc_nvenc", ...
  virtual std::string_view codecName() const = 0;
  virtual bool isHardware() const = 0;
  /// How many frames the encoder works on at once. A second frame handed to an encoder that does
  /// one at a time only waits in its queue, growing older, where it could have been replaced by a
  /// newer capture.
  virtual int framesInParallel() const { return 2; }
  /// Queues `frame` (it must have the session's size) and returns at once. `done` is called once.
  /// `forceKeyframe` starts the stream afresh at this frame: it comes out as a keyframe with its
  /// parameter sets, and output the encoder still held back from earlier frames is dropped.
  virtual void encode(BgraFrame frame, int64_t ptsMicros, bool forceKeyframe, Completion done) = 0;
};

/// The rate cap: 1.5 × the average bitrate within any one second, in bytes.
inline int64_t dataRateLimitBytesPerSecond(int bitrateKbps) {
  return static_cast<int64_t>(std::ceil(bitrateKbps * 1.5 * 1000 * 0.125));
}

/// The most frames between keyframes: 2 × fps (0 for fps 0: only the 2-second rule applies).
inline int maxKeyframeIntervalFrames(int fps) { return fps > 0 ? fps * 2 : 0; }

/// The hardware HEVC encoders that open on this machine ("hevc_nvenc", "hevc_vaapi", "hevc_qsv"),
/// in the order "auto" tries them; probed once per process.
std::vector<std::string> hardwareHevcEncoders();

/// Opens an HEVC encoder session tuned for real time: average bitrate with a one-second cap of
/// 1.5 × the average, a keyframe at least every 2 × fps frames and every 2 s, no frame reordering,
/// no lookahead, colour tags of the colour space.
[[nodiscard]] Expected<std::unique_ptr<VideoEncoder>, VideoEncoderError> createHevcEncoder(
    const VideoEncoderSettings& settings);

}  // namespace ferrowin::platform
