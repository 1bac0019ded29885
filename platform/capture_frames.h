#pragma once
// Pieces every capture backend shares: a bounded pool of frame buffers (the stream's queue depth),
// the frame pacer (at most fps frames a second on absolute deadlines), and placing a picture into
// a frame with black around it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/runtime/clock.h"
#include "platform/capture.h"

namespace ferrowin::platform {

/// At most `capacity` frames out at once; a released frame's buffer is reused for the next one of
/// the same size. Thread-safe; frames may outlive the pool.
class FramePool {
 public:
  explicit FramePool(size_t capacity);
  /// A frame to draw into, or nothing when every buffer is still held by a consumer.
  std::optional<BgraFrame> acquire(int width, int height);
  void setCapacity(size_t capacity);

 private:
  struct State {
    std::mutex mutex;
    size_t capacity = 0;
    size_t out = 0;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> free;
  };
  std::shared_ptr<State> state_;
};

/// Buffers a stream keeps: its queue depth, plus what the encoder holds beyond the queue (two
/// frames in flight and one waiting).
inline size_t framePoolCapacity(int queueDepth) { return size_t(std::max(queueDepth, 1)) + 3; }

/// Calls `tick` at most fps times a second: the first tick at once, then on the grid start + n/fps;
/// deadlines missed while a tick ran are skipped, not bunched. Used on one executor (the one the
/// timer factory's timers fire on).
class FramePacer {
 public:
  FramePacer(const common::Clock& clock, common::TimerFactory& timers, std::function<void()> tick);
  void start(int fps);
  void setFps(int fps);
  void stop();
  bool running() const { return running_; }

 private:
  void schedule();
  const common::Clock& clock_;
  std::unique_ptr<common::Timer> timer_;
  std::function<void()> tick_;
  double interval_ = 1.0;
  double origin_ = 0;
  int64_t index_ = 0;
  bool running_ = false;
};

/// The destination rectangle of `configuration` in whole pixels, clamped to the frame.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
};
PixelRect destinationPixels(const CaptureStreamConfiguration& configuration);

/// The part of `rect` a picture of the given size fills with its aspect ratio kept, centred
/// (letterboxed or pillarboxed). A picture whose shape is the rectangle's but for less than 16
/// pixels a side fills all of it.
PixelRect fitPicture(PixelRect rect, int sourceWidth, int sourceHeight);

/// Scales `source` into `rect` of `target` with its aspect ratio kept (fitPicture) and paints the
/// rest of `target` opaque black.
void placeInFrame(const BgraFrame& source, const BgraFrame& target, PixelRect rect);

/// Paints `rect` of `target` opaque black.
void fillBlack(const BgraFrame& target, PixelRect rect);

/// Blends a pointer picture (premultiplied ARGB words, width × height) into `image` with its
/// top-left corner at (left, top); what falls outside the image is dropped.
void blendCursor(const BgraFrame& image, const uint32_t* argb, int width, int height, int left,
                 int top);

}  // namespace ferrowin::platform
