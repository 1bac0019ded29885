#include "platform/synthetic/synthetic_capture.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace ferrowin::platform {

namespace {

// 3 × 5 digits, one row per entry, bit 2 = left column.
constexpr uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};
constexpr int kCounterDigits = 8;

// The counter's cell size and top-left corner inside `rect`.
struct CounterLayout {
  int cell;
  int x;
  int y;
};

CounterLayout counterLayout(PixelRect rect) {
  const int cell = std::max(2, rect.height / 60);
  return {cell, rect.x + cell, rect.y + cell};
}

void fill(const BgraFrame& target, int x0, int y0, int width, int height, const uint8_t bgra[4]) {
  for (int y = std::max(y0, 0); y < std::min(y0 + height, target.height); ++y) {
    auto* row = const_cast<uint8_t*>(target.at(0, y));
    for (int x = std::max(x0, 0); x < std::min(x0 + width, target.width); ++x) {
      std::memcpy(row + x * 4, bgra, 4);
    }
  }
}

}  // namespace

void drawTestPattern(const BgraFrame& target, PixelRect rect, uint32_t sourceId,
                     uint64_t frameNumber) {
  if (rect.width <= 0 || rect.height <= 0) return;
  // Gradients that differ per source, and a white bar that crosses the picture every 120 frames.
  const auto red = static_cast<uint8_t>(40 + (sourceId * 53) % 160);
  const int barWidth = std::max(rect.width / 16, 2);
  const int barX = static_cast<int>((frameNumber % 120) * uint64_t(rect.width) / 120);
  // Pixels as little-endian words: blue in the low byte, alpha in the high one. Blue ramps across
  // the row and green down the picture, so a row is the ramp with its green added.
  static_assert(std::endian::native == std::endian::little);
  std::vector<uint32_t> ramp(size_t(rect.width));
  for (int x = 0; x < rect.width; ++x) {
    ramp[size_t(x)] = uint32_t(x * 255 / rect.width) | uint32_t(red) << 16 | 0xFF000000u;
  }
  const int barEnd = std::min(barX + barWidth, rect.width);
  for (int y = 0; y < rect.height; ++y) {
    auto* row = const_cast<uint8_t*>(target.at(rect.x, rect.y + y));
    const uint32_t green = uint32_t(y * 255 / rect.height) << 8;
    for (int x = 0; x < rect.width; ++x) {
      const uint32_t pixel = ramp[size_t(x)] | green;
      std::memcpy(row + size_t(x) * 4, &pixel, 4);
    }
    std::memset(row + size_t(barX) * 4, 0xFF, size_t(std::max(barEnd - barX, 0)) * 4);
  }
  // The frame counter: eight black digits on white in the top-left corner.
  const CounterLayout layout = counterLayout(rect);
  static constexpr uint8_t kWhite[4] = {255, 255, 255, 255};
  static constexpr uint8_t kBlack[4] = {0, 0, 0, 255};
  fill(target, layout.x - layout.cell, layout.y - layout.cell,
       (kCounterDigits * 4 + 1) * layout.cell, 7 * layout.cell, kWhite);
  uint64_t rest = frameNumber;
  for (int digit = kCounterDigits - 1; digit >= 0; --digit) {
    const auto& glyph = kDigits[rest % 10];
    rest /= 10;
    for (int row = 0; row < 5; ++row) {
      for (int column = 0; column < 3; ++column) {
        if ((glyph[row] >> (2 - column) & 1) == 0) continue;
        fill(target, layout.x + (digit * 4 + column) * layout.cell, layout.y + row * layout.cell,
             layout.cell, layout.cell, kBlack);
      }
    }
  }
}

struct SyntheticCaptureBackend::World {
  std::mutex mutex;
  std::vector<CaptureDisplay> displays;
  std::vector<CaptureWindow> windows;
  std::function<void()> displayChangeHandler;

  const common::Clock* clock = nullptr;
  common::TimerFactory* timers = nullptr;
  // Real-time mode: the streams' thread and its timers.
  std::unique_ptr<common::SerialQueue> queue;
  std::unique_ptr<common::AsioTimerFactory> ownTimers;

  // Runs `work` where the streams live: on their thread, or inline with scripted timers.
  void run(const std::function<void()>& work) {
    if (queue && !queue->isCurrent()) {
      queue->sync(work);
    } else {
      work();
    }
  }

  bool exists(const CaptureFilter& filter) {
    std::lock_guard lock(mutex);
    if (filter.kind == CaptureFilter::Kind::display) {
      return std::any_of(displays.begin(), displays.end(),
                         [&](const CaptureDisplay& d) { return d.id == filter.id; });
    }
    return std::any_of(windows.begin(), windows.end(),
                       [&](const CaptureWindow& w) { return w.id == filter.id; });
  }
};

namespace {

class SyntheticStream final : public CaptureStream {
 public:
  SyntheticStream(std::shared_ptr<SyntheticCaptureBackend::World> world, CaptureFilter filter,
                  CaptureStreamConfiguration configuration, Delegate delegate)
      : world_(std::move(world)),
        filter_(filter),
        configuration_(configuration),
        delegate_(std::move(delegate)),
        pool_(framePoolCapacity(configuration.queueDepth)) {}

  ~SyntheticStream() override { stop(); }

  Expected<void, CaptureError> start() override {
    if (!world_->exists(filter_)) {
      return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
    }
    world_->run([&] {
      if (!pacer_) {
        pacer_ = std::make_unique<FramePacer>(*world_->clock, *world_->timers, [this] { tick(); });
      }
      pacer_->start(configuration_.fps);
    });
    return {};
  }

  Expected<void, CaptureError> updateContentFilter(const CaptureFilter& filter) override {
    if (!world_->exists(filter)) {
      return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
    }
    world_->run([&] { filter_ = filter; });
    return {};
  }

  Expected<void, CaptureError> updateConfiguration(
      const CaptureStreamConfiguration& configuration) override {
    if (configuration.width <= 0 || configuration.height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
    }
    world_->run([&] {
      configuration_ = configuration;
      pool_.setCapacity(framePoolCapacity(configuration.queueDepth));
      if (pacer_) pacer_->setFps(configuration.fps);
    });
    return {};
  }

  void stop() override {
    world_->run([&] { pacer_.reset(); });
  }

 private:
  void tick() {
    if (!world_->exists(filter_)) {
      pacer_->stop();
      const bool window = filter_.kind == CaptureFilter::Kind::window;
      CaptureStreamError error{
          window ? CaptureStreamError::Code::windowGone : CaptureStreamError::Code::displayGone,
          ""};
      if (delegate_.onStop) delegate_.onStop(error);
      return;
    }
    const uint64_t number = frameNumber_++;
    auto frame = pool_.acquire(configuration_.width, configuration_.height);
    if (!frame) return;  // the consumer still holds every buffer: skip this frame
    const PixelRect rect = destinationPixels(configuration_);
    placeInFrame(BgraFrame{}, *frame, rect);
    drawTestPattern(*frame, rect, filter_.id, number);
    CapturedFrame captured{std::move(*frame), common::toMicros(world_->clock->now()),
                           CaptureFrameStatus::complete};
    if (delegate_.onFrame) delegate_.onFrame(std::move(captured));
  }

  std::shared_ptr<SyntheticCaptureBackend::World> world_;
  CaptureFilter filter_;
  CaptureStreamConfiguration configuration_;
  Delegate delegate_;
  FramePool pool_;
  std::unique_ptr<FramePacer> pacer_;
  uint64_t frameNumber_ = 0;
};

}  // namespace

std::vector<CaptureDisplay> SyntheticCaptureBackend::defaultDisplays() {
  return {CaptureDisplay{1, CaptureRect{0, 0, 1920, 1080}, 1.0, true}};
}

SyntheticCaptureBackend::SyntheticCaptureBackend(std::vector<CaptureDisplay> displays)
    : world_(std::make_shared<World>()) {
  world_->displays = std::move(displays);
  world_->clock = &common::SteadyClock::instance();
  world_->queue = std::make_unique<common::SerialQueue>("com.zavel.ferrowin.capture.synthetic");
  world_->ownTimers = std::make_unique<common::AsioTimerFactory>(world_->queue->executor());
  world_->timers = world_->ownTimers.get();
}

SyntheticCaptureBackend::SyntheticCaptureBackend(std::vector<CaptureDisplay> displays,
                                                 const common::Clock& clock,
                                                 common::TimerFactory& timers)
    : world_(std::make_shared<World>()) {
  world_->displays = std::move(displays);
  world_->clock = &clock;
  world_->timers = &timers;
}

SyntheticCaptureBackend::~SyntheticCaptureBackend() = default;

void SyntheticCaptureBackend::setDisplays(std::vector<CaptureDisplay> displays) {
  std::function<void()> handler;
  {
    std::lock_guard lock(world_->mutex);
    world_->displays = std::move(displays);
    handler = world_->displayChangeHandler;
  }
  if (handler) world_->run(handler);
}

void SyntheticCaptureBackend::setWindows(std::vector<CaptureWindow> windows) {
  std::lock_guard lock(world_->mutex);
  world_->windows = std::move(windows);
}

Expected<ShareableContent, CaptureError> SyntheticCaptureBackend::shareableContent(bool) {
  std::lock_guard lock(world_->mutex);
  return ShareableContent{world_->displays, world_->windows};
}

uint32_t SyntheticCaptureBackend::mainDisplayId() {
  std::lock_guard lock(world_->mutex);
  for (const CaptureDisplay& display : world_->displays) {
    if (display.isMain) return display.id;
  }
  return world_->displays.empty() ? 0 : world_->displays.front().id;
}

std::optional<CaptureRect> SyntheticCaptureBackend::displayBounds(uint32_t displayId) {
  std::lock_guard lock(world_->mutex);
  for (const CaptureDisplay& display : world_->displays) {
    if (display.id == displayId) return display.frame;
  }
  return std::nullopt;
}

Expected<std::unique_ptr<CaptureStream>, CaptureError> SyntheticCaptureBackend::createStream(
    const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
    CaptureStream::Delegate delegate) {
  if (configuration.width <= 0 || configuration.height <= 0) {
    return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
  }
  return std::make_unique<SyntheticStream>(world_, filter, configuration, std::move(delegate));
}

Expected<BgraFrame, CaptureError> SyntheticCaptureBackend::screenshot(const CaptureFilter& filter,
                                                                      int width, int height, bool) {
  if (width <= 0 || height <= 0) {
    return unexpected(CaptureError{CaptureError::Code::failed, "invalid picture size"});
  }
  if (!world_->exists(filter)) {
    return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
  }
  BgraFrame picture = allocateBgraFrame(width, height);
  drawTestPattern(picture, PixelRect{0, 0, width, height}, filter.id, 0);
  return picture;
}

void SyntheticCaptureBackend::setDisplayChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(world_->mutex);
  world_->displayChangeHandler = std::move(handler);
}

}  // namespace ferrowin::platform
