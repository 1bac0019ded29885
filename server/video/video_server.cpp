#include "server/video/video_server.h"

#include <fmt/format.h>

#include "common/runtime/flow.h"
#include "common/runtime/weak.h"
#include "common/util/log.h"

namespace ferrowin::video {
namespace {

auto videoLog() { return common::serverLog("video"); }

bool isListenerFailure(const std::string& status) {
  for (const char* prefix :
       {"UDP listen failed: ", "UDP listener failed: ", "Listen failed: ", "Listener failed: "})
    if (status.starts_with(prefix)) return true;
  return false;
}

const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace

std::shared_ptr<VideoServer> VideoServer::create(Dependencies dependencies) {
  auto server = std::shared_ptr<VideoServer>(new VideoServer(std::move(dependencies)));
  server->install();
  return server;
}

VideoServer::VideoServer(Dependencies d)
    : isRunning(d.main, false),
      clientDescription(d.main, std::nullopt),
      statusMessage(d.main, "Idle"),
      activeConfig(d.main, std::nullopt),
      statsSnapshot(d.main, std::nullopt),
      captureError(d.main, std::nullopt),
      main_(d.main),
      mainTimers_(d.mainTimers),
      clock_(d.clock),
      streamer_(std::move(d.streamer)),
      tcp_(VideoTCPTransport::create(d.main, d.clock)),
      udp_(VideoUDPTransport::create(d.main, d.clock)),
      latency_(std::move(d.latencyDevice)) {}

VideoServer::~VideoServer() {
  if (statsTimer_) statsTimer_->stop();
  tcp_->stop();
  udp_->stop();
}

void VideoServer::install() {
  // The geometry store hands every change to the helper manager on the main executor.
  geometry_.setOnChange([this, weak = weak_from_this()](
                            const std::optional<common::CapturePointerGeometry>& geometry) {
    asio::post(main_, [weak, geometry] {
      auto self = weak.lock();
      if (!self) return;
      if (auto helper = self->inputHelper_.lock()) helper->pushGeometry(geometry);
    });
  });
}

void VideoServer::setPrepareCapture(PrepareCapture prepare) {
  tcp_->setPrepareCapture(prepare);
  udp_->setPrepareCapture(prepare);
}

void VideoServer::setAllowPeer(PeerStore store, bool forgetOnDisconnect) {
  for (VideoTransportBackend* backend : {static_cast<VideoTransportBackend*>(tcp_.get()),
                                         static_cast<VideoTransportBackend*>(udp_.get())}) {
    backend->setAllowPeer([store](const std::string& address) {
      return !address.empty() && store.isAuthenticated && store.isAuthenticated(address);
    });
    if (forgetOnDisconnect) {
      backend->setOnPeerDisconnected([store](const std::string& address) {
        videoLog()->info("Forgetting paired client {} after video disconnect", address);
        if (store.forget) store.forget(address);
      });
    } else {
      backend->setOnPeerDisconnected(nullptr);
    }
  }
}

std::string VideoServer::modeLabel() const { return std::string(transportModeLabel(mode_)); }

std::shared_ptr<VideoTransportBackend> VideoServer::activeBackend() {
  std::lock_guard guard(backendLock_);
  return activeBackend_;
}

void VideoServer::start() {
  stop();
  streamer_->setStreamStats(stats_);
  streamer_->setAudioStreamStats(audioStats_);
  audioStats_->setEnabled(gate_->enabled());
  std::shared_ptr<VideoTransportBackend> backend;
  if (mode_ == VideoTransportMode::tcp) {
    backend = tcp_;
  } else {
    udp_->setTransportMode(mode_);
    backend = udp_;
  }
  {
    std::lock_guard guard(backendLock_);
    activeBackend_ = backend;
  }
  TransportCallbacks callbacks;
  callbacks.onStatus = common::weakCallback(
      weak_from_this(), [](VideoServer& self, const std::string& text) { self.onStatus(text); });
  callbacks.onClientChange = common::weakCallback(
      weak_from_this(), [](VideoServer& self, const std::optional<std::string>& client) {
        self.onClientChange(client);
      });
  callbacks.onConfig = common::weakCallback(
      weak_from_this(),
      [](VideoServer& self, const capture::StreamConfig& config) { self.onConfig(config); });
  const bool started = backend->start(port_, streamer_, stats_, gate_, callbacks);

  StreamSourceCallbacks output;
  const std::weak_ptr<VideoServer> weak = weak_from_this();
  output.onParameterSets = [weak](const std::vector<Bytes>& sets, int width, int height) {
    if (auto self = weak.lock()) {
      if (auto b = self->activeBackend()) b->sendParameterSets(sets, width, height);
    }
  };
  output.onEncoded = [weak](Bytes data, bool keyframe, uint64_t pts) {
    if (auto self = weak.lock()) {
      if (auto b = self->activeBackend()) b->sendEncoded(std::move(data), keyframe, pts);
    }
  };
  output.onAudioConfig = [weak](Bytes data) {
    if (auto self = weak.lock()) {
      if (auto b = self->activeBackend()) {
        b->sendAudioConfig(std::move(data));
        self->audioStats_->recordConfigSent();
      }
    }
  };
  output.onAudio = [weak](Bytes data, uint64_t pts) {
    if (auto self = weak.lock()) {
      if (auto b = self->activeBackend()) {
        b->sendAudio(std::move(data), pts);
        self->audioStats_->recordPacketSent();
      }
    }
  };
  output.onError = common::weakCallback(
      weak, [](VideoServer& self, const std::string& text) { self.onStreamerError(text); });
  output.onCaptureDimensionsChanged = common::weakCallback(
      weak, [](VideoServer& self, int w, int h) { self.onCaptureDimensionsChanged(w, h); });
  streamer_->setCallbacks(std::move(output));

  isRunning.set(started);
  updateStatsTimer();
  if (!started) {
    // A listener's own reason (the port is taken, say) says more than the generic text.
    const std::string reason = statusMessage.get();
    if (!isListenerFailure(reason))
      statusMessage.set("Failed to start " + modeLabel() + " transport");
    videoLog()->error("Video transport {} could not start on port {}: {}", modeLabel(), port_,
                      statusMessage.get());
  }
}

void VideoServer::stop() {
  if (statsTimer_) statsTimer_->stop();
  statsTimer_.reset();
  statsSnapshot.set(std::nullopt);
  latency_.end();
  tcp_->stop();
  udp_->stop();
  streamer_->stop();
  streamer_->setStreamStats(nullptr);
  streamer_->setAudioStreamStats(nullptr);
  geometry_.set(std::nullopt);
  stats_->reset();
  audioStats_->reset();
  {
    std::lock_guard guard(backendLock_);
    activeBackend_.reset();
  }
  isRunning.set(false);
  clientDescription.set(std::nullopt);
  activeConfig.set(std::nullopt);
  activeCaptureWidth_ = activeCaptureHeight_ = 0;
  captureError.set(std::nullopt);
  statusMessage.set("Idle");
}

void VideoServer::setTransportMode(VideoTransportMode mode) {
  if (mode == mode_) return;
  mode_ = mode;
  if (isRunning.get()) start();
}

void VideoServer::setDiagnostics(bool enabled) {
  gate_->setEnabled(enabled);
  audioStats_->setEnabled(enabled);
  updateStatsTimer();
}

void VideoServer::onStatus(const std::string& text) {
  if (!captureError.get()) statusMessage.set(text);
}

void VideoServer::onClientChange(const std::optional<std::string>& client) {
  const std::optional<std::string> old = clientDescription.get();
  clientDescription.set(client);
  if (client) {
    // The transports report a client when its flow arrives and again on its hello: the second
    // time is the same client, not news.
    if (old && old != client) {
      videoLog()->info("Video client connected: {} (replaced {})", *client, *old);
    } else if (!old) {
      videoLog()->info("Video client connected: {}", *client);
    }
  } else {
    if (old) {
      videoLog()->info("Video client disconnected ({})", *old);
    } else {
      videoLog()->info("Video client disconnected");
    }
    latency_.end();
    activeConfig.set(std::nullopt);
    activeCaptureWidth_ = activeCaptureHeight_ = 0;
    captureError.set(std::nullopt);
    statsSnapshot.set(std::nullopt);
    stats_->reset();
    if (isRunning.get()) statusMessage.set("Listening (" + modeLabel() + ")");
    queueInputOperation([weak = weak_from_this()]() -> asio::awaitable<void> {
      if (auto self = weak.lock()) co_await self->endInputSession();
    });
  }
  updateStatsTimer();
}

void VideoServer::onConfig(const capture::StreamConfig& config) {
  captureError.set(std::nullopt);
  latency_.begin();
  activeConfig.set(config);
  updateStatusText();
  queueInputOperation([weak = weak_from_this(), config]() -> asio::awaitable<void> {
    if (auto self = weak.lock()) co_await self->applyInputSession(config);
  });
}

void VideoServer::updateStatusText() {
  const auto config = activeConfig.get();
  if (!config) return;
  std::string size;
  if (activeCaptureWidth_ < 1 || activeCaptureHeight_ < 1) {
    size = fmt::format("up to {}x{}", config->width, config->height);
  } else if (activeCaptureWidth_ == config->width && activeCaptureHeight_ == config->height) {
    size = fmt::format("{}x{}", config->width, config->height);
  } else {
    size = fmt::format("{}x{} (max {}x{})", activeCaptureWidth_, activeCaptureHeight_,
                       config->width, config->height);
  }
  std::string text =
      fmt::format("Streaming {} @{} / {} kbps", size, config->fps, config->bitrateKbps);
  if (config->audioEnabled) text += fmt::format(" + audio (Opus {} kbps)", config->audioBitrateKbps);
  statusMessage.set(text);
}

void VideoServer::onStreamerError(const std::string& text) {
  if (!clientDescription.get()) return;
  captureError.set(text);
  statusMessage.set(text);
}

void VideoServer::onCaptureDimensionsChanged(int width, int height) {
  captureError.set(std::nullopt);
  activeCaptureWidth_ = width;
  activeCaptureHeight_ = height;
  updateStatusText();
}

void VideoServer::retryCaptureAfterPermissionChange() {
  const auto config = activeConfig.get();
  if (!isRunning.get() || !clientDescription.get() || !captureError.get() || !config) return;
  videoLog()->info("Retrying screen capture after permission change");
  captureError.set(std::nullopt);
  statusMessage.set("Retrying screen capture…");
  streamer_->start(*config);
}

void VideoServer::updateStatsTimer() {
  if (statsTimer_) statsTimer_->stop();
  statsTimer_.reset();
  if (!gate_->enabled() || !clientDescription.get()) {
    statsSnapshot.set(std::nullopt);
    return;
  }
  statsTimer_ = std::make_unique<common::RepeatingTimer>(
      clock_, mainTimers_,
      [this] {
        if (!gate_->enabled() || !clientDescription.get()) {
          statsSnapshot.set(std::nullopt);
          return;
        }
        const double now = clock_.now();
        if (now - lastUIStatsUpdate_ < 0.05) return;
        lastUIStatsUpdate_ = now;
        statsSnapshot.set(stats_->snapshot());
        stats_->logIfDue(now);
        audioStats_->logIfDue(now);
      },
      common::RepeatingTimer::Cadence{0.05, 0.05, 0.2});
  statsTimer_->start();
}

// ---- Input session: one operation at a time, in the order queued ----

void VideoServer::queueInputOperation(std::function<asio::awaitable<void>()> operation) {
  inputOperations_.push_back(std::move(operation));
  if (inputOperationsRunning_) return;
  inputOperationsRunning_ = true;
  common::spawn(main_.get_executor(),
                [](std::weak_ptr<VideoServer> weak) -> asio::awaitable<void> {
                  if (auto self = weak.lock()) co_await self->runInputOperations();
                }(weak_from_this()));
}

asio::awaitable<void> VideoServer::runInputOperations() {
  auto keepAlive = shared_from_this();
  while (!inputOperations_.empty()) {
    auto operation = std::move(inputOperations_.front());
    inputOperations_.pop_front();
    co_await operation();
  }
  inputOperationsRunning_ = false;
}

asio::awaitable<void> VideoServer::applyInputSession(capture::StreamConfig config) {
  if (!config.gamepadEnabled && !config.remapToKBMEnabled) {
    videoLog()->info("Leaving input helper running (client config has no gamepad or remap)");
    co_return;
  }
  videoLog()->info("Applying input session: gamepadHID={} remapMouse={} profile {} steamSupport={}",
                   boolText(config.gamepadEnabled), boolText(config.remapToKBMEnabled),
                   common::deviceProfileText(config.gamepadProfile),
                   boolText(config.steamSupport));
  auto helper = inputHelper_.lock();
  if (!helper) co_return;
  co_await helper->ensureSession(config.gamepadProfile, config.gamepadEnabled,
                                 config.remapToKBMEnabled);
  // Twice, 250 ms apart: a helper that has just started may not have read the first round.
  for (int round = 0; round < 2; ++round) {
    if (round == 1) co_await common::sleepFor(mainTimers_, 0.25);
    helper = inputHelper_.lock();
    if (!helper) co_return;
    helper->setClientSteamSupport(config.steamSupport);
    helper->pushSteamSupport(true);
    helper->pushGeometry(geometry_.read());
    if (config.remapToKBMEnabled) helper->pushStoredLookSettings();
  }
}

asio::awaitable<void> VideoServer::endInputSession() {
  if (auto helper = inputHelper_.lock()) co_await helper->endSession();
}

}  // namespace ferrowin::video
