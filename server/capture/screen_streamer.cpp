#include "server/capture/screen_streamer.h"

#include <algorithm>
#include <asio/post.hpp>
#include <fmt/format.h>

#include "common/util/log.h"

namespace ferrowin::capture {

struct ScreenStreamer::Shared {
  std::atomic<bool> running{false};
  std::atomic<int> activeWidth{0};
  std::atomic<int> activeHeight{0};

  std::mutex lock;  // guards the two below: the main executor sets them, other threads read
  video::StreamSourceCallbacks callbacks;
  std::shared_ptr<video::VideoStreamStats> stats;
  std::shared_ptr<audio::AudioStreamStats> audioStats;

  video::StreamSourceCallbacks readCallbacks() {
    std::lock_guard guard(lock);
    return callbacks;
  }
  std::shared_ptr<video::VideoStreamStats> readStats() {
    std::lock_guard guard(lock);
    return stats;
  }
  std::shared_ptr<audio::AudioStreamStats> readAudioStats() {
    std::lock_guard guard(lock);
    return audioStats;
  }
};

namespace {

auto captureLog() { return common::serverLog("capture"); }

/// The encoder half's statistics, kept in the stream statistics.
class StreamStatsAdapter final : public EncoderStatistics {
 public:
  explicit StreamStatsAdapter(std::shared_ptr<video::VideoStreamStats> stats)
      : stats_(std::move(stats)) {}
  // The session asks once per encoder session; a reset of the statistics clears it again.
  void setColorSpaceSummaryIfEmpty(const std::string& summary) override {
    stats_->setColorSpaceSummary(summary);
  }
  void recordEncode(double milliseconds, bool keyframe) override {
    stats_->recordEncodeDuration(milliseconds);
    if (keyframe) stats_->recordKeyframe();
  }
  void recordReplacedPending() override { stats_->recordReplacedPending(); }
  void recordFrameEncoded(uint64_t pts, double convertMs, double codecMs, bool keyframe,
                          double time) override {
    stats_->recordFrameEncoded(pts, convertMs, codecMs, keyframe, time);
  }

 private:
  std::shared_ptr<video::VideoStreamStats> stats_;
};

std::optional<uint32_t> displayIdOf(const std::string& id) {
  const ParsedSourceId parsed = parseSourceId(id);
  if (parsed.kind != ParsedSourceId::Kind::display) return std::nullopt;
  return parsed.id;
}

}  // namespace

std::shared_ptr<ScreenStreamer> ScreenStreamer::create(Dependencies dependencies) {
  return std::shared_ptr<ScreenStreamer>(new ScreenStreamer(std::move(dependencies)));
}

ScreenStreamer::ScreenStreamer(Dependencies d)
    : main_(d.main),
      mainTimers_(d.mainTimers),
      clock_(d.clock),
      backend_(std::move(d.backend)),
      encoderPreference_(d.encoderPreference),
      shared_(std::make_shared<Shared>()),
      audioBackend_(std::move(d.audioBackend)) {
  // The encoder session lives on the capture queue and reaches the streamer's state only through
  // `shared`, so nothing on that queue keeps the streamer alive.
  auto shared = shared_;
  auto* queue = &captureQueue_;
  asio::io_context* main = &main_;
  HEVCEncoderSession::Callbacks callbacks;
  callbacks.post = [queue](std::function<void()> work) { queue->post(std::move(work)); };
  callbacks.running = [shared] { return shared->running.load(); };
  callbacks.activeCaptureSize = [shared] {
    return std::pair<int, int>{shared->activeWidth.load(), shared->activeHeight.load()};
  };
  callbacks.reportError = [shared, main](const std::string& text) {
    captureLog()->error("{}", text);
    shared->running = false;
    asio::post(*main, [shared, text] {
      if (auto onError = shared->readCallbacks().onError) onError(text);
    });
  };
  callbacks.onParameterSets = [shared](const std::vector<std::vector<uint8_t>>& sets, int width,
                                       int height) {
    if (auto f = shared->readCallbacks().onParameterSets) f(sets, width, height);
  };
  callbacks.onEncoded = [shared](std::vector<uint8_t> bytes, bool keyframe, uint64_t pts) {
    if (auto f = shared->readCallbacks().onEncoded) f(std::move(bytes), keyframe, pts);
  };
  encoder_ = std::make_shared<HEVCEncoderSession>(std::move(d.encoderFactory), clock_,
                                                  std::move(callbacks));
}

ScreenStreamer::~ScreenStreamer() {
  // Like stop(), without publishing: the geometry store may already be gone.
  shared_->running = false;
  if (displayMonitorRegistered_) backend_->setDisplayChangeHandler({});
  stream_.reset();
  captureQueue_.sync([this] { encoder_->fullReset(); });
  stopAudio();
}

bool ScreenStreamer::isRunning() const { return shared_->running; }

CaptureSize ScreenStreamer::activeCaptureSize() const {
  return {shared_->activeWidth, shared_->activeHeight};
}

void ScreenStreamer::setCallbacks(video::StreamSourceCallbacks callbacks) {
  std::lock_guard guard(shared_->lock);
  shared_->callbacks = std::move(callbacks);
}

void ScreenStreamer::setStreamStats(std::shared_ptr<video::VideoStreamStats> stats) {
  {
    std::lock_guard guard(shared_->lock);
    shared_->stats = stats;
  }
  std::shared_ptr<EncoderStatistics> adapter;
  if (stats) adapter = std::make_shared<StreamStatsAdapter>(std::move(stats));
  captureQueue_.post([encoder = encoder_, adapter] { encoder->setStatistics(adapter); });
}

void ScreenStreamer::setAudioStreamStats(std::shared_ptr<audio::AudioStreamStats> stats) {
  std::lock_guard guard(shared_->lock);
  shared_->audioStats = std::move(stats);
}

void ScreenStreamer::start(const StreamConfig& config) {
  stop();
  config_ = config;
  if (auto stats = shared_->readStats()) {
    stats->setTargetIntervalMs(1000.0 / std::max(config.fps, 1));
    stats->reset();
  }
  captureQueue_.post([encoder = encoder_, config, preference = encoderPreference_] {
    encoder->configure(config, preference);
  });
  shared_->running = true;
  if (config.audioEnabled) {
    startAudio();
  } else if (auto audioStats = shared_->readAudioStats()) {
    audioStats->setCodec("off");
  }

  if (!displayMonitorRegistered_) {
    std::weak_ptr<ScreenStreamer> weak = weak_from_this();
    asio::io_context* main = &main_;
    backend_->setDisplayChangeHandler([weak, main] {
      asio::post(*main, [weak] {
        if (auto self = weak.lock()) self->scheduleDisplayRefresh();
      });
    });
    displayMonitorRegistered_ = true;
  }

  const uint64_t ticket = runs_.begin();
  asio::post(main_, [weak = weak_from_this(), ticket] {
    if (auto self = weak.lock()) self->initialCaptureStart(ticket);
  });
}

void ScreenStreamer::stop() {
  shared_->running = false;
  runs_.begin();
  displayRefreshTimer_.reset();
  if (displayMonitorRegistered_) {
    backend_->setDisplayChangeHandler({});
    displayMonitorRegistered_ = false;
  }
  selectedSourceId_.reset();
  setActiveSize({0, 0});
  if (geometry_) geometry_->set(std::nullopt);
  if (stream_) {
    stream_->stop();
    stream_.reset();
  }
  // Frames and encoder answers queued behind this find `running` false and are dropped.
  captureQueue_.sync([this] { encoder_->fullReset(); });
  stopAudio();
}

void ScreenStreamer::startAudio() {
  auto audioStats = shared_->readAudioStats();
  if (audioStats) audioStats->sessionStart("opus");
  auto encoder = std::make_shared<audio::OpusEncoder>(
      config_.audioChannels, config_.audioBitrateKbps, audioBackend_ ? audioBackend_->name() : "none");
  encoder->setStats(audioStats);
  auto shared = shared_;
  encoder->onConfig = [shared](const audio::Bytes& blob) {
    if (auto f = shared->readCallbacks().onAudioConfig) f(blob);
  };
  encoder->onAudio = [shared](audio::Bytes packet, uint64_t pts) {
    if (auto f = shared->readCallbacks().onAudio) f(std::move(packet), pts);
  };
  opusEncoder_ = encoder;
  audioQueue_.post([encoder] { encoder->sendConfigOnce(); });
  if (!audioBackend_) {
    captureLog()->warn("No audio capture in this host; streaming video without sound");
    return;
  }

  platform::AudioCaptureStream::Delegate delegate;
  auto* queue = &audioQueue_;
  // The sample handler only hops to the audio queue; the encoder lives there.
  delegate.onBuffer = [shared, queue, encoder](platform::AudioSampleBuffer buffer) {
    if (!shared->running) return;
    queue->post([shared, encoder, buffer = std::move(buffer)] {
      if (auto stats = shared->readAudioStats()) stats->recordCapture();
      encoder->encode(buffer);
    });
  };
  delegate.onStop = [](const platform::AudioCaptureError& error) {
    captureLog()->error("Audio capture stopped ({}); streaming video without sound",
                        error.description());
  };
  auto stream = audioBackend_->start(config_.audioChannels, std::move(delegate));
  if (!stream) {
    captureLog()->error("Audio capture unavailable ({}); streaming video without sound",
                        stream.error().description());
    return;
  }
  audioStream_ = std::move(*stream);
}

void ScreenStreamer::stopAudio() {
  // No buffer is posted once the stream is gone; what was posted runs before the reset.
  audioStream_.reset();
  if (!opusEncoder_) return;
  audioQueue_.sync([encoder = opusEncoder_] { encoder->reset(); });
  opusEncoder_.reset();
}

std::string ScreenStreamer::mainDisplaySourceId() const {
  return displaySourceId(backend_->mainDisplayId());
}

void ScreenStreamer::initialCaptureStart(uint64_t ticket) {
  if (!runs_.isCurrent(ticket) || !shared_->running) return;
  auto manager = manager_.lock();
  auto content = backend_->shareableContent(manager != nullptr);
  if (!content) return reportError("Screen capture failed: " + content.error().description());

  std::string target = selectedSourceId_ ? *selectedSourceId_
                       : manager         ? manager->selectedId()
                                         : mainDisplaySourceId();
  if (manager && manager->followsMainDisplay()) target = mainDisplaySourceId();
  selectedSourceId_ = target;
  if (manager) manager->select(target);

  if (auto started = startCapture(target, *content); !started) {
    reportError("Screen capture failed: " + started.error());
  }
}

Expected<void, std::string> ScreenStreamer::startCapture(
    const std::string& target, const platform::ShareableContent& content) {
  auto manager = manager_.lock();
  std::optional<platform::CaptureFilter> filter;
  std::optional<uint32_t> displayId;
  if (manager) filter = manager->contentFilter(target, content);
  if (filter) {
    displayId = displayIdOf(target);
  } else {
    if (content.displays.empty()) {
      return tl::unexpected(
          CaptureSourceError{CaptureSourceError::Code::notFound, {}}.description());
    }
    const platform::CaptureDisplay& first = content.displays.front();
    filter = platform::CaptureFilter{platform::CaptureFilter::Kind::display, first.id, first.frame,
                                     first.pointPixelScale};
    displayId = first.id;
  }
  const PixelSize contentSize = CaptureSourceManager::contentPixelSize(*filter);
  const CaptureSize size = captureSize({contentSize.width, contentSize.height}, config_);
  setActiveSize(size);
  auto stream = openStream(*filter, captureStreamConfiguration(size, config_));
  if (!stream) return tl::unexpected(stream.error());
  stream_ = std::move(*stream);
  publishGeometry(displayId, *filter, size);
  reportDimensions();
  return {};
}

Expected<std::unique_ptr<platform::CaptureStream>, std::string> ScreenStreamer::openStream(
    const platform::CaptureFilter& filter, const platform::CaptureStreamConfiguration& config) {
  const uint64_t serial = ++streamSerial_;
  auto shared = shared_;
  auto* queue = &captureQueue_;
  std::weak_ptr<HEVCEncoderSession> encoder = encoder_;
  const common::Clock* clock = &clock_;
  platform::CaptureStream::Delegate delegate;
  // The sample handler only checks, counts and hops to the capture queue.
  delegate.onFrame = [shared, queue, encoder, clock](platform::CapturedFrame frame) {
    if (!shared->running || frame.status != platform::CaptureFrameStatus::complete) return;
    const auto pts = static_cast<uint64_t>(std::max<int64_t>(frame.ptsMicros, 0));
    const double arrival = clock->now();
    if (auto stats = shared->readStats()) stats->recordFrameCapture(pts, arrival);
    queue->post([encoder, image = std::move(frame.image), pts, arrival]() mutable {
      if (auto session = encoder.lock()) {
        session->processFrame(std::move(image), static_cast<int64_t>(pts), arrival);
      }
    });
  };
  asio::io_context* main = &main_;
  std::weak_ptr<ScreenStreamer> weak = weak_from_this();
  delegate.onStop = [main, weak, serial](const platform::CaptureStreamError& error) {
    asio::post(*main, [weak, serial, error] {
      if (auto self = weak.lock()) self->streamStopped(serial, error);
    });
  };
  auto stream = backend_->createStream(filter, config, std::move(delegate));
  if (!stream) return tl::unexpected(stream.error().description());
  if (auto started = (*stream)->start(); !started) {
    return tl::unexpected(started.error().description());
  }
  return std::move(*stream);
}

void ScreenStreamer::setActiveSize(CaptureSize size) {
  shared_->activeWidth = size.width;
  shared_->activeHeight = size.height;
}

void ScreenStreamer::publishGeometry(std::optional<uint32_t> displayId,
                                     const platform::CaptureFilter& filter, CaptureSize size) {
  if (!geometry_) return;
  std::optional<platform::CaptureRect> rect;
  if (displayId) rect = backend_->displayBounds(*displayId);
  if (!rect || rect->width <= 0 || rect->height <= 0) rect = filter.contentRect;
  std::optional<common::CapturePointerGeometry> geometry;
  if (rect->width > 0 && rect->height > 0) {
    geometry = common::CapturePointerGeometry{
        {rect->x, rect->y, rect->width, rect->height}, size.width, size.height};
  }
  geometry_->set(geometry);
}

void ScreenStreamer::reportDimensions() {
  const int width = shared_->activeWidth, height = shared_->activeHeight;
  if (auto f = shared_->readCallbacks().onCaptureDimensionsChanged) f(width, height);
}

void ScreenStreamer::reportError(const std::string& text) {
  captureLog()->error("{}", text);
  shared_->running = false;
  if (auto onError = shared_->readCallbacks().onError) onError(text);
}

void ScreenStreamer::teardownEncoderSession(std::function<void()> then) {
  // The next frame opens a new session, which starts with a keyframe. Closing an encoder waits for
  // the frame it is on, so it happens on the capture queue while the main executor goes on; `then`
  // runs on the main executor once it is done (not at all if the streamer is gone by then).
  captureQueue_.post([encoder = encoder_, main = &main_, weak = weak_from_this(),
                      then = std::move(then)]() mutable {
    encoder->teardownSession();
    asio::post(*main, [weak, then = std::move(then)] {
      if (weak.lock()) then();
    });
  });
}

std::string ScreenStreamer::titleFor(const std::string& id,
                                     const platform::ShareableContent& content) const {
  auto manager = manager_.lock();
  return manager ? manager->sourceTitle(id, content) : id;
}

void ScreenStreamer::applyCaptureSource(const std::string& id,
                                        const platform::ShareableContent& content,
                                        bool surfacesError, std::function<void(bool)> done) {
  const std::optional<std::string> previousId = selectedSourceId_;
  const CaptureSize previousSize = activeCaptureSize();
  selectedSourceId_ = id;
  auto manager = manager_.lock();
  if (manager) manager->select(id);
  if (!shared_->running) return done(false);  // kept for the next start

  auto reconfigure = [&]() -> Expected<PixelSize, std::string> {
    std::optional<platform::CaptureFilter> filter;
    if (manager) filter = manager->contentFilter(id, content);
    if (!filter) {
      return tl::unexpected(
          CaptureSourceError{CaptureSourceError::Code::notFound, {}}.description());
    }
    const PixelSize contentSize = CaptureSourceManager::contentPixelSize(*filter);
    const CaptureSize size = captureSize({contentSize.width, contentSize.height}, config_);
    setActiveSize(size);
    const auto configuration = captureStreamConfiguration(size, config_);
    if (stream_) {
      if (auto updated = stream_->updateContentFilter(*filter); !updated) {
        return tl::unexpected(updated.error().description());
      }
      if (auto updated = stream_->updateConfiguration(configuration); !updated) {
        return tl::unexpected(updated.error().description());
      }
    } else {
      auto stream = openStream(*filter, configuration);
      if (!stream) return tl::unexpected(stream.error());
      stream_ = std::move(*stream);
    }
    publishGeometry(displayIdOf(id), *filter, size);
    reportDimensions();
    return contentSize;
  };

  auto contentSize = reconfigure();
  if (!contentSize) {
    const std::string message = "Capture switch failed: " + contentSize.error();
    if (surfacesError) {
      if (auto onError = shared_->readCallbacks().onError) onError(message);
    } else {
      captureLog()->error("{}", message);
    }
    return done(false);
  }
  const CaptureSize size = activeCaptureSize();
  std::optional<std::string> reconfigured;
  if (size != previousSize) {
    reconfigured = fmt::format(
        "Capture reconfigured: {} -> {}; video {}x{} -> {}x{} (source {}x{}, max {}x{})",
        previousId ? titleFor(*previousId, content) : "unknown", titleFor(id, content),
        previousSize.width, previousSize.height, size.width, size.height, contentSize->width,
        contentSize->height, config_.width, config_.height);
  }
  teardownEncoderSession([reconfigured, done = std::move(done)] {
    if (reconfigured) captureLog()->info("{}", *reconfigured);
    done(true);
  });
}

void ScreenStreamer::scheduleDisplayRefresh() {
  // A burst of changes is handled once, 500 ms after the last of them.
  displayRefreshTimer_ = mainTimers_.makeTimer();
  displayRefreshTimer_->start(0.5, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->handleDisplayChange();
  });
}

void ScreenStreamer::handleDisplayChange() {
  auto manager = manager_.lock();
  if (!shared_->running || !selectedSourceId_ || !displayIdOf(*selectedSourceId_) || !manager) {
    return;
  }
  const std::string target =
      manager->followsMainDisplay() ? mainDisplaySourceId() : *selectedSourceId_;
  auto content = backend_->shareableContent(true);
  if (!content) {
    captureLog()->error("Display change: shareable content failed: {}",
                        content.error().description());
    return;
  }
  if (!shared_->running) return;
  auto filter = manager->contentFilter(target, *content);
  if (!filter) {
    captureLog()->info("Display change: {} is not available yet", target);
    return;
  }
  const PixelSize contentSize = CaptureSourceManager::contentPixelSize(*filter);
  const CaptureSize size = captureSize({contentSize.width, contentSize.height}, config_);
  if (target == *selectedSourceId_ && size == activeCaptureSize()) return;
  captureLog()->info("Display changed; capture {} -> {} {}x{}", *selectedSourceId_, target,
                     size.width, size.height);
  applyCaptureSource(target, *content, true, [](bool) {});
}

void ScreenStreamer::streamStopped(uint64_t serial, const platform::CaptureStreamError& error) {
  const std::string text = "Capture stopped: " + error.description();
  if (stream_ && serial != streamSerial_) {
    captureLog()->error("{} (ignored stale stream)", text);
    return;
  }
  stream_.reset();
  if (!shared_->running) {
    captureLog()->error("{} (already stopped)", text);
    return;
  }
  if (ignoringDisplayLoss_) {
    captureLog()->error("{} (retargeting off a removed display)", text);
    return;
  }
  const bool windowCaptured =
      selectedSourceId_ && parseSourceId(*selectedSourceId_).kind == ParsedSourceId::Kind::window;
  if (windowCaptured && error.code == platform::CaptureStreamError::Code::windowGone) {
    captureLog()->error("{}; attempting desktop fallback", text);
    asio::post(main_, [weak = weak_from_this(), text] {
      if (auto self = weak.lock()) self->fallbackToDesktopAfterWindowLost(text);
    });
    return;
  }
  reportError(text);
}

void ScreenStreamer::fallbackToDesktopAfterWindowLost(const std::string& reason) {
  if (!shared_->running) return;
  const std::string failure = "Capture stopped: window closed; desktop fallback failed: ";
  auto manager = manager_.lock();
  auto content = backend_->shareableContent(manager != nullptr);
  if (!content) return reportError(failure + content.error().description());
  const std::string target =
      manager ? manager->defaultDesktopSourceId(*content) : mainDisplaySourceId();
  const std::string previous = selectedSourceId_.value_or("unknown");
  selectedSourceId_ = target;
  if (manager) manager->select(target);
  if (auto started = startCapture(target, *content); !started) {
    return reportError(failure + started.error());
  }
  teardownEncoderSession([previous, target, reason] {
    captureLog()->info("Window capture lost ({}); fell back to desktop ({}). Cause: {}", previous,
                       target, reason);
  });
}

}  // namespace ferrowin::capture
