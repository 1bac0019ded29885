#pragma once
// What capture system tests share: a recorder of one stream's frames and stops, waited for from
// the test thread, and a colour check of a BGRA pixel.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/capture.h"

namespace ferrowin::platform {

// Frames and stops of one stream, waited for from the test thread.
class StreamRecorder {
 public:
  CaptureStream::Delegate delegate() {
    CaptureStream::Delegate d;
    d.onFrame = [this](CapturedFrame frame) {
      std::lock_guard lock(mutex_);
      last_ = std::move(frame);
      ++frames_;
      changed_.notify_all();
    };
    d.onStop = [this](const CaptureStreamError& error) {
      std::lock_guard lock(mutex_);
      stop_ = error;
      changed_.notify_all();
    };
    return d;
  }

  // The first frame that arrives after the call.
  std::optional<CapturedFrame> nextFrame() {
    std::unique_lock lock(mutex_);
    const int seen = frames_;
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return frames_ > seen; })) {
      return std::nullopt;
    }
    return last_;
  }

  std::optional<CaptureStreamError> waitForStop() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return stop_.has_value(); });
    return stop_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int frames_ = 0;
  std::optional<CapturedFrame> last_;
  std::optional<CaptureStreamError> stop_;
};

inline void expectColour(const BgraFrame& image, int x, int y, uint32_t rgb) {
  const uint8_t* pixel = image.at(x, y);
  EXPECT_NEAR(pixel[2], (rgb >> 16) & 0xFF, 3) << "red at " << x << "," << y;
  EXPECT_NEAR(pixel[1], (rgb >> 8) & 0xFF, 3) << "green at " << x << "," << y;
  EXPECT_NEAR(pixel[0], rgb & 0xFF, 3) << "blue at " << x << "," << y;
}

}  // namespace ferrowin::platform
