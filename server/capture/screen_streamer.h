#pragma once
// ScreenStreamer: captures one display or window, feeds every complete frame to the HEVC encoder
// session and hands the encoder's output to the video server. It keeps capture on the chosen
// source: switches on request, re-targets 500 ms after the display arrangement settles, and falls
// back to the desktop when a captured window goes away. It publishes where the picture sits on
// screen for the pointer mapping.
//
// Threading: start, stop, applyCaptureSource and the callback setters run on the main executor.
// Frames arrive on the capture stream's thread and hop to the capture queue
// ("com.zavel.ferrowin.capture"), where all encoder work runs and onParameterSets/onEncoded are
// called. onError and onCaptureDimensionsChanged run on the main executor. Create with create();
// the capture queue never holds the streamer itself, so it is always destroyed on the main
// executor.

#include <asio/io_context.hpp>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/pointer_geometry.h"
#include "common/runtime/clock.h"
#include "common/runtime/flow.h"
#include "common/runtime/serial_queue.h"
#include "platform/audio_capture.h"
#include "platform/capture.h"
#include "platform/video_encoder.h"
#include "server/audio/opus_encoder.h"
#include "server/capture/capture_size.h"
#include "server/capture/capture_sources.h"
#include "server/capture/encoder_session.h"
#include "server/video/stream_source.h"

namespace ferrowin::capture {

class ScreenStreamer final : public video::VideoStreamSource,
                             public CaptureSourceSwitcher,
                             public std::enable_shared_from_this<ScreenStreamer> {
 public:
  struct Dependencies {
    asio::io_context& main;
    /// Timers on the main executor (the display-change settle).
    common::TimerFactory& mainTimers;
    const common::Clock& clock = common::SteadyClock::instance();
    std::shared_ptr<platform::CaptureBackend> backend;
    HEVCEncoderSession::EncoderFactory encoderFactory = platform::createHevcEncoder;
    platform::EncoderPreference encoderPreference = platform::EncoderPreference::automatic;
    /// System audio; none: a client's request for audio gets none.
    std::shared_ptr<platform::AudioCaptureBackend> audioBackend;
  };

  static std::shared_ptr<ScreenStreamer> create(Dependencies dependencies);
  ~ScreenStreamer() override;

  // VideoStreamSource
  void start(const StreamConfig& config) override;
  void stop() override;
  void setCallbacks(video::StreamSourceCallbacks callbacks) override;
  void setStreamStats(std::shared_ptr<video::VideoStreamStats> stats) override;
  void setAudioStreamStats(std::shared_ptr<audio::AudioStreamStats> stats) override;

  // CaptureSourceSwitcher. `done` runs on the main executor before this returns.
  void applyCaptureSource(const std::string& id, const platform::ShareableContent& content,
                          bool surfacesError, std::function<void(bool applied)> done) override;

  void setCaptureSourceManager(std::weak_ptr<CaptureSourceManager> manager) {
    manager_ = std::move(manager);
  }
  /// The store must outlive the streamer's use of it (stop() publishes "none" to it).
  void setPointerGeometryStore(common::CapturePointerGeometryStore* store) { geometry_ = store; }
  /// Set while a display that is being captured is removed on purpose: its stream's stop is then
  /// only noted.
  void setIgnoringDisplayLoss(bool ignoring) { ignoringDisplayLoss_ = ignoring; }

  bool isRunning() const;
  /// Whether a capture stream exists (it may be gone while `running` stays true).
  bool hasStream() const { return stream_ != nullptr; }
  /// Reports a failure that ends the stream: logged, `running` false, onError.
  void reportStreamError(const std::string& text) { reportError(text); }
  const std::optional<std::string>& selectedSourceId() const { return selectedSourceId_; }
  CaptureSize activeCaptureSize() const;

  /// State shared with the capture queue and the stream's thread.
  struct Shared;

 private:
  explicit ScreenStreamer(Dependencies dependencies);

  void initialCaptureStart(uint64_t ticket);
  /// Creates and starts the stream for `target` in `content` (initial start and fallback).
  [[nodiscard]] Expected<void, std::string> startCapture(const std::string& target,
                                                         const platform::ShareableContent& content);
  [[nodiscard]] Expected<std::unique_ptr<platform::CaptureStream>, std::string> openStream(
      const platform::CaptureFilter& filter, const platform::CaptureStreamConfiguration& config);
  void setActiveSize(CaptureSize size);
  void publishGeometry(std::optional<uint32_t> displayId, const platform::CaptureFilter& filter,
                       CaptureSize size);
  void reportDimensions();
  void reportError(const std::string& text);
  void teardownEncoderSession(std::function<void()> then);
  void startAudio();
  void stopAudio();

  void scheduleDisplayRefresh();
  void handleDisplayChange();
  void streamStopped(uint64_t serial, const platform::CaptureStreamError& error);
  void fallbackToDesktopAfterWindowLost(const std::string& reason);
  std::string mainDisplaySourceId() const;
  std::string titleFor(const std::string& id, const platform::ShareableContent& content) const;

  asio::io_context& main_;
  common::TimerFactory& mainTimers_;
  const common::Clock& clock_;
  std::shared_ptr<platform::CaptureBackend> backend_;
  platform::EncoderPreference encoderPreference_;

  std::shared_ptr<Shared> shared_;
  std::weak_ptr<CaptureSourceManager> manager_;
  common::CapturePointerGeometryStore* geometry_ = nullptr;
  StreamConfig config_;
  std::optional<std::string> selectedSourceId_;
  bool displayMonitorRegistered_ = false;
  std::unique_ptr<common::Timer> displayRefreshTimer_;
  bool ignoringDisplayLoss_ = false;
  common::Generation runs_;

  // Declared before the stream and the encoder session, which post into it: it outlives both.
  common::SerialQueue captureQueue_{"com.zavel.ferrowin.capture"};
  std::shared_ptr<HEVCEncoderSession> encoder_;
  std::unique_ptr<platform::CaptureStream> stream_;
  uint64_t streamSerial_ = 0;

  std::shared_ptr<platform::AudioCaptureBackend> audioBackend_;
  // Declared before the audio stream, which posts into it. The encoder is used on this queue only.
  common::SerialQueue audioQueue_{"com.zavel.ferrowin.audio"};
  std::shared_ptr<audio::OpusEncoder> opusEncoder_;
  std::unique_ptr<platform::AudioCaptureStream> audioStream_;
};

}  // namespace ferrowin::capture
