#pragma once
// VirtualDisplayService: gives a client that asks for it (`extended` or `main`) a display of its
// own. Before capture starts it creates a virtual monitor of exactly the configured size and rate,
// places it, waits until it is online and capturable, and selects it. A matching monitor is reused
// across reconnects. On release it moves capture back to a real display before the monitor goes,
// so the stream survives.
//
// Everything runs on the main executor; waits are coroutine sleeps. A prepare superseded by a
// newer prepare or by a release drops the monitor it was making.

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "common/runtime/clock.h"
#include "common/runtime/flow.h"
#include "common/runtime/published.h"
#include "platform/capture.h"
#include "platform/virtual_display.h"
#include "server/capture/capture_sources.h"
#include "server/capture/screen_streamer.h"
#include "server/capture/virtual_display.h"

namespace ferrowin::capture {

/// "16:9", "2.16:1" for shapes without small terms, "—" without a height.
std::string aspectText(int width, int height);
/// "Extended · 1920×1080 · 16:9 · 60 Hz".
std::string activeStatusText(VirtualDisplayChoice placement, int width, int height,
                             double refreshHz);

class VirtualDisplayService : public std::enable_shared_from_this<VirtualDisplayService> {
 public:
  struct Dependencies {
    asio::io_context& main;
    common::TimerFactory& timers;
    const common::Clock& clock = common::SteadyClock::instance();
    std::shared_ptr<platform::VirtualDisplayBackend> displays;
    /// Whether a display can be captured yet.
    std::shared_ptr<platform::CaptureBackend> capture;
  };

  static constexpr const char* kName = "Ferrowin Virtual";
  static constexpr int kAttempts = 4;
  static constexpr double kPixelsPerInch = 110;

  static std::shared_ptr<VirtualDisplayService> create(Dependencies dependencies);

  common::Published<bool> isActive;
  common::Published<std::string> statusMessage;

  void setCaptureSources(std::weak_ptr<CaptureSourceManager> sources) {
    sources_ = std::move(sources);
  }
  void setStreamer(std::weak_ptr<ScreenStreamer> streamer) { streamer_ = std::move(streamer); }

  /// Before capture starts: makes, reuses or discards the monitor for `config`. Failures end
  /// here (logged, status off, main display selected); capture then starts on a real display.
  asio::awaitable<void> prepare(StreamConfig config);
  /// The session ends: the monitor goes, capture moves off it first when it streams.
  void release();

  const VirtualDisplay* display() const { return display_.get(); }
  VirtualDisplayChoice placement() const { return placement_; }
  bool isDestroying() const { return isDestroying_; }

 private:
  explicit VirtualDisplayService(Dependencies dependencies);

  asio::awaitable<void> createDisplay(StreamConfig config, uint64_t ticket);
  void fail(const std::string& text);
  void publishOff();
  void discard(bool selectMain);
  void select(const std::string& id);
  bool isShareable(uint32_t id);
  asio::awaitable<void> takedown(std::shared_ptr<VirtualDisplay> retained, bool streaming,
                                 VirtualDisplayChoice placement);
  /// Waits up to 3 s for a capturable real display and switches capture to it.
  asio::awaitable<bool> moveCapture(uint32_t virtualId, bool surfacesError);

  asio::io_context& main_;
  common::TimerFactory& timers_;
  const common::Clock& clock_;
  std::shared_ptr<platform::VirtualDisplayBackend> displays_;
  std::shared_ptr<platform::CaptureBackend> capture_;
  std::weak_ptr<CaptureSourceManager> sources_;
  std::weak_ptr<ScreenStreamer> streamer_;

  std::unique_ptr<VirtualDisplay> display_;
  VirtualDisplayChoice placement_ = VirtualDisplayChoice::none;
  bool isDestroying_ = false;
  common::Generation preparations_;
};

}  // namespace ferrowin::capture
