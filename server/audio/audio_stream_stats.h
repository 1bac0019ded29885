#pragma once
// What happens to audio on its way from capture to the transport, counted in one-second windows.
// While video diagnostics are on, logIfDue writes one "[server][audio]" line per window with a
// plain-language hint about where audio stops. Written from the audio queue, the transports' paths
// and the main executor: every operation takes the lock, and logging happens after it is released.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace ferrowin::audio {

class AudioStreamStats {
 public:
  /// Diagnostics on or off (copied from the video diagnostics gate).
  void setEnabled(bool enabled);
  bool enabled() const;

  /// A capture session starts with `codec` ("opus", or "off" without audio): clears the window
  /// and, when enabled, logs it.
  void sessionStart(const std::string& codec);
  /// Sets the codec text without starting a session (audio off).
  void setCodec(const std::string& codec);
  void recordCapture();
  void recordConfigEncoded();
  void recordPacketEncoded();
  void recordConfigSent();
  void recordPacketSent();
  void recordSkip(const std::string& reason);
  void recordPeak(float level);
  /// The capture format summary; logged when enabled.
  void setCaptureFormat(const std::string& summary);
  void reset();
  /// When enabled and at least 1 s has passed since the last line: logs the window (and the skips
  /// of the window at error level) and starts a new one. Returns whether it logged.
  bool logIfDue(double now);

  struct Window {
    std::string codec;
    int64_t captures = 0, configsEncoded = 0, packetsEncoded = 0, configsSent = 0, packetsSent = 0,
            skips = 0;
    float peak = 0;
    std::optional<std::string> lastSkipReason;
    std::optional<std::string> captureFormat;
  };
  /// The current window's counters.
  Window window() const;
  /// Where audio stops, from a window's counters.
  static std::string hint(const Window& window);

 private:
  void clearWindowLocked();

  mutable std::mutex lock_;
  bool enabled_ = false;
  double lastLogTime_ = 0;
  Window window_{.codec = "off"};
};

}  // namespace ferrowin::audio
