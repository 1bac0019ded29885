#include "server/capture/virtual_display_service.h"

#include <fmt/format.h>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <cmath>
#include <numeric>

#include "common/util/log.h"

namespace ferrowin::capture {

namespace {

auto vdisplayLog() { return common::serverLog("vdisplay"); }

constexpr double kPollInterval = 0.05;
constexpr double kOnlineTimeout = 2.0;
constexpr double kShareableTimeout = 3.0;
constexpr double kRealDisplayTimeout = 3.0;
constexpr double kSettleBeforeMove = 0.5;
constexpr double kSettleBeforeSecondMove = 0.2;
constexpr const char* kOff = "Display is off";

const char* placementName(VirtualDisplayChoice placement) {
  switch (placement) {
    case VirtualDisplayChoice::extended:
      return "Extended";
    case VirtualDisplayChoice::main:
      return "Main";
    case VirtualDisplayChoice::none:
      break;
  }
  return "None";
}

bool lists(const platform::ShareableContent& content, uint32_t id) {
  for (const platform::CaptureDisplay& display : content.displays) {
    if (display.id == id) return true;
  }
  return false;
}

/// Switches capture and resumes with whether it worked.
asio::awaitable<bool> applySource(ScreenStreamer& streamer, const std::string& id,
                                  const platform::ShareableContent& content, bool surfacesError) {
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(bool)>(
      [&](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        streamer.applyCaptureSource(id, content, surfacesError, [shared](bool applied) {
          // Never resumed from inside the call that started it.
          auto executor = asio::get_associated_executor(*shared);
          asio::post(executor, [shared, applied]() mutable { (*shared)(applied); });
        });
      },
      asio::use_awaitable);
}

}  // namespace

std::string aspectText(int width, int height) {
  if (height < 1) return "—";
  const int divisor = std::max(std::gcd(width, height), 1);
  const int w = width / divisor, h = height / divisor;
  if (w < 25 && h < 25) return fmt::format("{}:{}", w, h);
  return fmt::format("{:.2f}:1", double(width) / height);
}

std::string activeStatusText(VirtualDisplayChoice placement, int width, int height,
                             double refreshHz) {
  return fmt::format("{} · {}×{} · {} · {:.0f} Hz", placementName(placement), width, height,
                     aspectText(width, height), refreshHz);
}

std::shared_ptr<VirtualDisplayService> VirtualDisplayService::create(Dependencies dependencies) {
  return std::shared_ptr<VirtualDisplayService>(new VirtualDisplayService(std::move(dependencies)));
}

VirtualDisplayService::VirtualDisplayService(Dependencies d)
    : isActive(d.main, false),
      statusMessage(d.main, kOff),
      main_(d.main),
      timers_(d.timers),
      clock_(d.clock),
      displays_(std::move(d.displays)),
      capture_(std::move(d.capture)) {}

void VirtualDisplayService::select(const std::string& id) {
  if (auto sources = sources_.lock()) sources->select(id);
}

void VirtualDisplayService::publishOff() {
  placement_ = VirtualDisplayChoice::none;
  isActive.set(false);
  statusMessage.set(kOff);
}

void VirtualDisplayService::discard(bool selectMain) {
  const bool existed = display_ != nullptr;
  const uint32_t id = existed ? display_->displayID() : 0;
  display_.reset();
  publishOff();
  auto sources = sources_.lock();
  if (selectMain && existed && sources && sources->selectedId() == displaySourceId(id)) {
    select(displaySourceId(displays_->mainDisplayId()));
  }
}

asio::awaitable<void> VirtualDisplayService::prepare(StreamConfig config) {
  auto self = shared_from_this();  // alive for the whole flow
  const uint64_t ticket = preparations_.begin();
  if (config.virtualDisplay == VirtualDisplayChoice::none) {
    discard(true);
    co_return;
  }
  if (display_ && placement_ == config.virtualDisplay && display_->pixelsWide() == config.width &&
      display_->pixelsHigh() == config.height && std::lround(display_->refreshHz()) == config.fps) {
    vdisplayLog()->info("Reusing virtual display {}", display_->displayID());
    select(displaySourceId(display_->displayID()));
    co_return;
  }
  discard(false);
  co_await createDisplay(config, ticket);
}

void VirtualDisplayService::fail(const std::string& text) {
  vdisplayLog()->error("Virtual display failed: {}", text);
  display_.reset();
  publishOff();
  select(displaySourceId(displays_->mainDisplayId()));
}

bool VirtualDisplayService::isShareable(uint32_t id) {
  auto content = capture_->shareableContent(true);
  return content && lists(*content, id);
}

asio::awaitable<void> VirtualDisplayService::createDisplay(StreamConfig config, uint64_t ticket) {
  vdisplayLog()->info("Creating {} display {}x{} @{} Hz", placementName(config.virtualDisplay),
                      config.width, config.height, config.fps);
  auto created = VirtualDisplay::create(*displays_, kName, config.width, config.height, kAttempts,
                                        config.fps, kPixelsPerInch);
  if (!created) {
    fail(created.error().description());
    co_return;
  }
  std::unique_ptr<VirtualDisplay> monitor = std::move(*created);
  const uint32_t id = monitor->displayID();
  // The monitor goes before the main display is chosen: it may be the main display itself.
  auto failWith = [&](const std::string& text) {
    monitor.reset();
    fail(text);
  };
  auto superseded = [&] {
    if (preparations_.isCurrent(ticket)) return false;
    vdisplayLog()->info("Virtual display {} no longer wanted; removing it", id);
    return true;
  };

  const double onlineStart = clock_.now();
  for (;;) {
    const auto live = displays_->liveDisplays();
    if (std::any_of(live.begin(), live.end(),
                    [&](const platform::LiveDisplay& display) { return display.id == id; })) {
      break;
    }
    if (clock_.now() - onlineStart >= kOnlineTimeout) {
      failWith("Virtual display " + std::to_string(id) + " did not come online.");
      co_return;
    }
    co_await common::sleepFor(timers_, kPollInterval);
    if (superseded()) co_return;
  }

  if (auto placed = placeVirtualDisplay(*displays_, id, config.virtualDisplay,
                                        displays_->liveDisplays(), config.width);
      !placed) {
    failWith(placed.error().description());
    co_return;
  }

  const double shareableStart = clock_.now();
  while (!isShareable(id)) {
    if (clock_.now() - shareableStart >= kShareableTimeout) {
      failWith("Virtual display " + std::to_string(id) + " is not shareable.");
      co_return;
    }
    co_await common::sleepFor(timers_, kPollInterval);
    if (superseded()) co_return;
  }

  display_ = std::move(monitor);
  placement_ = config.virtualDisplay;
  isActive.set(true);
  statusMessage.set(activeStatusText(placement_, display_->pixelsWide(), display_->pixelsHigh(),
                                     display_->refreshHz()));
  select(displaySourceId(id));
  vdisplayLog()->info("Virtual display {} ready", id);
}

void VirtualDisplayService::release() {
  preparations_.begin();  // a monitor still being made is not wanted any more
  if (!display_ || isDestroying_) return;
  const uint32_t id = display_->displayID();
  auto sources = sources_.lock();
  auto streamer = streamer_.lock();
  const bool capturingIt = sources && sources->selectedId() == displaySourceId(id);
  const bool streaming = capturingIt && streamer && streamer->isRunning();
  const VirtualDisplayChoice placement = placement_;

  if (!streaming && placement != VirtualDisplayChoice::main) {
    display_.reset();
    publishOff();
    if (capturingIt) {
      if (auto real = realDisplay(*displays_, id)) select(displaySourceId(*real));
    }
    return;
  }
  isDestroying_ = true;
  std::shared_ptr<VirtualDisplay> retained = std::move(display_);
  publishOff();
  common::spawn(main_.get_executor(), takedown(std::move(retained), streaming, placement));
}

asio::awaitable<void> VirtualDisplayService::takedown(std::shared_ptr<VirtualDisplay> retained,
                                                      bool streaming,
                                                      VirtualDisplayChoice placement) {
  auto self = shared_from_this();
  const uint32_t id = retained->displayID();
  auto finish = [&] {
    if (auto streamer = streamer_.lock()) streamer->setIgnoringDisplayLoss(false);
    retained.reset();
    isDestroying_ = false;
  };
  if (streaming) {
    if (auto streamer = streamer_.lock()) streamer->setIgnoringDisplayLoss(true);
  }
  if (placement == VirtualDisplayChoice::main) {
    const uint32_t real = realDisplay(*displays_, id).value_or(0);
    if (auto restored = restoreMainDisplay(*displays_, real, id); !restored) {
      vdisplayLog()->error("Could not restore the main display: {}",
                           restored.error().description());
    }
  }
  if (!streamer_.lock()) {
    finish();
    co_return;
  }
  co_await common::sleepFor(timers_, kSettleBeforeMove);
  const bool moved = co_await moveCapture(id, false);
  if (auto streamer = streamer_.lock(); moved && streamer && streamer->hasStream()) {
    finish();
    co_return;
  }
  co_await common::sleepFor(timers_, kSettleBeforeSecondMove);
  (void)co_await moveCapture(id, true);
  if (auto streamer = streamer_.lock();
      streamer && streamer->isRunning() && !streamer->hasStream()) {
    streamer->reportStreamError(
        "Capture stopped: no display available after the virtual display was removed");
  }
  finish();
}

asio::awaitable<bool> VirtualDisplayService::moveCapture(uint32_t virtualId, bool surfacesError) {
  const double start = clock_.now();
  std::optional<uint32_t> target;
  platform::ShareableContent content;
  for (;;) {
    if (auto real = realDisplay(*displays_, virtualId)) {
      if (auto fetched = capture_->shareableContent(true); fetched && lists(*fetched, *real)) {
        target = real;
        content = std::move(*fetched);
        break;
      }
    }
    if (clock_.now() - start >= kRealDisplayTimeout) break;
    co_await common::sleepFor(timers_, kPollInterval);
  }
  if (!target) {
    vdisplayLog()->error("No real display became available for capture");
    co_return false;
  }
  auto streamer = streamer_.lock();
  if (!streamer) co_return false;
  const bool applied =
      co_await applySource(*streamer, displaySourceId(*target), content, surfacesError);
  if (!applied) vdisplayLog()->error("Capture did not move to display {}", *target);
  co_return applied;
}

}  // namespace ferrowin::capture
