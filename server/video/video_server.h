#pragma once
// The video server: owns one streaming session at a time. It starts the active transport (UDP/ARQ,
// UDP/FEC or TCP), forwards the streamer's output to it, turns the transport's events into its
// published state and status texts, starts capture with the client's configuration, applies the
// client's input session through the helper manager, and holds the latency request while a client
// streams. Everything here runs on the main executor, except the streamer's output callbacks, which
// arrive on the capture queue and are only forwarded.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/pointer_geometry.h"
#include "common/runtime/clock.h"
#include "common/runtime/published.h"
#include "common/runtime/repeating_timer.h"
#include "server/video/input_sessions.h"
#include "server/video/stream_source.h"
#include "server/video/stream_stats.h"
#include "server/video/streaming_latency_mode.h"
#include "server/video/tcp_transport.h"
#include "server/video/udp_transport.h"

namespace ferrowin::video {

/// The two questions the video allowlist asks of the pairing store.
struct PeerStore {
  std::function<bool(const std::string& address)> isAuthenticated;
  std::function<void(const std::string& address)> forget;
};

class VideoServer : public std::enable_shared_from_this<VideoServer> {
 public:
  struct Dependencies {
    asio::io_context& main;
    common::TimerFactory& mainTimers;
    const common::Clock& clock = common::SteadyClock::instance();
    std::shared_ptr<VideoStreamSource> streamer;
    std::string latencyDevice = "/dev/cpu_dma_latency";
  };

  static std::shared_ptr<VideoServer> create(Dependencies dependencies);
  ~VideoServer();

  void start();
  void stop();
  void setTransportMode(VideoTransportMode mode);
  VideoTransportMode transportMode() const { return mode_; }
  void setPort(uint16_t port) { port_ = port; }
  uint16_t port() const { return port_; }
  /// Installs the allowlist on both transports. With `forgetOnDisconnect` (the
  /// FERROWIN_PAIR_EVERY_CONNECTION mode) a video disconnect also forgets the address.
  void setAllowPeer(PeerStore store, bool forgetOnDisconnect);
  void setInputHelper(std::weak_ptr<InputSessionTarget> helper) { inputHelper_ = std::move(helper); }
  void setPrepareCapture(PrepareCapture prepare);
  void retryCaptureAfterPermissionChange();
  /// Follows the "ferrowin.video.diagnostics" setting.
  void setDiagnostics(bool enabled);

  common::Published<bool> isRunning;
  common::Published<std::optional<std::string>> clientDescription;
  common::Published<std::string> statusMessage;
  common::Published<std::optional<capture::StreamConfig>> activeConfig;
  common::Published<std::optional<VideoStreamStatsSnapshot>> statsSnapshot;
  common::Published<std::optional<std::string>> captureError;

  const std::shared_ptr<VideoStreamStats>& streamStats() const { return stats_; }
  const std::shared_ptr<audio::AudioStreamStats>& audioStreamStats() const { return audioStats_; }
  common::CapturePointerGeometryStore& pointerGeometryStore() { return geometry_; }
  bool holdsLatencyRequest() const { return latency_.isHeld(); }

 private:
  explicit VideoServer(Dependencies dependencies);
  void install();

  void onStatus(const std::string& text);
  void onClientChange(const std::optional<std::string>& client);
  void onConfig(const capture::StreamConfig& config);
  void onStreamerError(const std::string& text);
  void onCaptureDimensionsChanged(int width, int height);
  void updateStatusText();
  void updateStatsTimer();
  std::string modeLabel() const;
  std::shared_ptr<VideoTransportBackend> activeBackend();

  void queueInputOperation(std::function<asio::awaitable<void>()> operation);
  asio::awaitable<void> runInputOperations();
  asio::awaitable<void> applyInputSession(capture::StreamConfig config);
  asio::awaitable<void> endInputSession();

  asio::io_context& main_;
  common::TimerFactory& mainTimers_;
  const common::Clock& clock_;
  VideoTransportMode mode_ = VideoTransportMode::udpArq;
  uint16_t port_ = 52346;
  std::weak_ptr<InputSessionTarget> inputHelper_;
  std::shared_ptr<VideoStreamStats> stats_ = std::make_shared<VideoStreamStats>();
  std::shared_ptr<audio::AudioStreamStats> audioStats_ =
      std::make_shared<audio::AudioStreamStats>();
  std::shared_ptr<VideoDiagnosticsGate> gate_ = std::make_shared<VideoDiagnosticsGate>();
  std::shared_ptr<VideoStreamSource> streamer_;
  common::CapturePointerGeometryStore geometry_;
  std::shared_ptr<VideoTCPTransport> tcp_;
  std::shared_ptr<VideoUDPTransport> udp_;
  std::mutex backendLock_;  // the streamer's callbacks read the active backend on its queue
  std::shared_ptr<VideoTransportBackend> activeBackend_;
  std::unique_ptr<common::RepeatingTimer> statsTimer_;
  double lastUIStatsUpdate_ = 0;
  StreamingLatencyMode latency_;
  int activeCaptureWidth_ = 0;
  int activeCaptureHeight_ = 0;
  std::deque<std::function<asio::awaitable<void>()>> inputOperations_;
  bool inputOperationsRunning_ = false;
};

}  // namespace ferrowin::video
