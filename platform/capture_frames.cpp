#include "platform/capture_frames.h"

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ferrowin::platform {

BgraFrame allocateBgraFrame(int width, int height) {
  auto pixels = std::make_shared<std::vector<uint8_t>>(size_t(width) * size_t(height) * 4);
  BgraFrame frame;
  frame.pixels = pixels->data();
  frame.owner = std::move(pixels);
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  return frame;
}

FramePool::FramePool(size_t capacity) : state_(std::make_shared<State>()) {
  state_->capacity = capacity;
}

void FramePool::setCapacity(size_t capacity) {
  std::lock_guard lock(state_->mutex);
  state_->capacity = capacity;
}

std::optional<BgraFrame> FramePool::acquire(int width, int height) {
  const size_t bytes = size_t(width) * size_t(height) * 4;
  std::unique_ptr<std::vector<uint8_t>> buffer;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->out >= state_->capacity) return std::nullopt;
    ++state_->out;
    auto match = std::find_if(state_->free.begin(), state_->free.end(),
                              [&](const auto& candidate) { return candidate->size() == bytes; });
    if (match != state_->free.end()) {
      buffer = std::move(*match);
      state_->free.erase(match);
    }
  }
  if (!buffer) buffer = std::make_unique<std::vector<uint8_t>>(bytes);
  BgraFrame frame;
  frame.pixels = buffer->data();
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  // The buffer goes back to the pool when the last holder lets go (the pool may be gone by then).
  std::weak_ptr<State> weakState = state_;
  frame.owner = std::shared_ptr<const void>(
      buffer.release(), [weakState](const void* pointer) {
        std::unique_ptr<std::vector<uint8_t>> owned(
            static_cast<std::vector<uint8_t>*>(const_cast<void*>(pointer)));
        auto pool = weakState.lock();
        if (!pool) return;
        std::lock_guard lock(pool->mutex);
        --pool->out;
        if (pool->free.size() < pool->capacity) pool->free.push_back(std::move(owned));
      });
  return frame;
}

FramePacer::FramePacer(const common::Clock& clock, common::TimerFactory& timers,
                       std::function<void()> tick)
    : clock_(clock), timer_(timers.makeTimer()), tick_(std::move(tick)) {}

void FramePacer::start(int fps) {
  running_ = true;
  interval_ = 1.0 / std::max(fps, 1);
  origin_ = clock_.now();
  index_ = 0;
  timer_->start(0, [this] {
    if (!running_) return;
    tick_();
    schedule();
  });
}

void FramePacer::setFps(int fps) {
  if (!running_) return;
  interval_ = 1.0 / std::max(fps, 1);
  origin_ = clock_.now();
  index_ = 0;
  schedule();
}

void FramePacer::stop() {
  running_ = false;
  timer_->cancel();
}

void FramePacer::schedule() {
  if (!running_) return;
  const double now = clock_.now();
  // The next grid point after now; a small epsilon keeps a tick that fired exactly on its
  // deadline from scheduling itself again at the same instant.
  const auto next = static_cast<int64_t>(std::floor((now - origin_) / interval_ + 1e-9)) + 1;
  index_ = std::max(index_ + 1, next);
  const double delay = std::max(0.0, origin_ + double(index_) * interval_ - now);
  timer_->start(delay, [this] {
    if (!running_) return;
    tick_();
    schedule();
  });
}

PixelRect destinationPixels(const CaptureStreamConfiguration& configuration) {
  if (!configuration.destinationRect) {
    return PixelRect{0, 0, configuration.width, configuration.height};
  }
  const CaptureRect& rect = *configuration.destinationRect;
  PixelRect out;
  out.x = std::clamp(static_cast<int>(std::lround(rect.x)), 0, configuration.width);
  out.y = std::clamp(static_cast<int>(std::lround(rect.y)), 0, configuration.height);
  out.width = std::clamp(static_cast<int>(std::lround(rect.width)), 0, configuration.width - out.x);
  out.height =
      std::clamp(static_cast<int>(std::lround(rect.height)), 0, configuration.height - out.y);
  return out;
}

void fillBlack(const BgraFrame& target, PixelRect rect) {
  static constexpr uint8_t kBlack[4] = {0, 0, 0, 255};
  for (int y = rect.y; y < rect.y + rect.height; ++y) {
    auto* row = const_cast<uint8_t*>(target.at(rect.x, y));
    for (int x = 0; x < rect.width; ++x) std::memcpy(row + x * 4, kBlack, 4);
  }
}

PixelRect fitPicture(PixelRect rect, int sourceWidth, int sourceHeight) {
  if (rect.width <= 0 || rect.height <= 0 || sourceWidth <= 0 || sourceHeight <= 0) return rect;
  const double scale = std::min(double(rect.width) / sourceWidth, double(rect.height) / sourceHeight);
  const int width = std::clamp(static_cast<int>(std::lround(sourceWidth * scale)), 1, rect.width);
  const int height = std::clamp(static_cast<int>(std::lround(sourceHeight * scale)), 1, rect.height);
  // The capture size is the source's size rounded to the encoder's 16-pixel alignment; a shape
  // that differs only by that rounding still fills the rectangle.
  constexpr int kAlignment = 16;
  if (rect.width - width < kAlignment && rect.height - height < kAlignment) return rect;
  return PixelRect{rect.x + (rect.width - width) / 2, rect.y + (rect.height - height) / 2, width,
                   height};
}

void placeInFrame(const BgraFrame& source, const BgraFrame& target, PixelRect rect) {
  rect = fitPicture(rect, source.width, source.height);
  // Black around the picture: the rows above and below, then the columns left and right of it.
  fillBlack(target, {0, 0, target.width, rect.y});
  fillBlack(target, {0, rect.y + rect.height, target.width, target.height - rect.y - rect.height});
  fillBlack(target, {0, rect.y, rect.x, rect.height});
  fillBlack(target, {rect.x + rect.width, rect.y, target.width - rect.x - rect.width, rect.height});
  if (rect.width <= 0 || rect.height <= 0 || source.width <= 0 || source.height <= 0) return;
  auto* destination = const_cast<uint8_t*>(target.at(rect.x, rect.y));
  if (source.width == rect.width && source.height == rect.height) {
    for (int y = 0; y < rect.height; ++y) {
      std::memcpy(destination + size_t(y) * target.stride, source.at(0, y), size_t(rect.width) * 4);
    }
    return;
  }
  libyuv::ARGBScale(source.pixels, source.stride, source.width, source.height, destination,
                    target.stride, rect.width, rect.height, libyuv::kFilterBilinear);
}

}  // namespace ferrowin::platform

namespace ferrowin::platform {

std::string CaptureError::description() const {
  switch (code) {
    case Code::unavailable:
      return "screen capture is unavailable" + (detail.empty() ? "" : ": " + detail);
    case Code::sourceMissing:
      return "the display or window to capture is not available";
    case Code::failed:
      return detail.empty() ? "screen capture failed" : detail;
  }
  return "screen capture failed";
}

std::string CaptureStreamError::description() const {
  std::string text;
  switch (code) {
    case Code::windowGone:
      text = "window gone";
      break;
    case Code::displayGone:
      text = "display gone";
      break;
    case Code::connectionLost:
      text = "connection lost";
      break;
  }
  return detail.empty() ? text : text + ": " + detail;
}

void blendCursor(const BgraFrame& image, const uint32_t* argb, int width, int height, int left,
                 int top) {
  for (int row = std::max(0, -top); row < height && top + row < image.height; ++row) {
    for (int column = std::max(0, -left); column < width && left + column < image.width;
         ++column) {
      const uint32_t pixel = argb[size_t(row) * width + column];
      const uint32_t alpha = pixel >> 24;
      if (alpha == 0) continue;
      auto* target = const_cast<uint8_t*>(image.at(left + column, top + row));
      for (int channel = 0; channel < 3; ++channel) {
        const uint32_t source = (pixel >> (8 * channel)) & 0xFF;
        target[channel] = uint8_t(std::min<uint32_t>(255, source + target[channel] * (255 - alpha) / 255));
      }
    }
  }
}

}  // namespace ferrowin::platform
