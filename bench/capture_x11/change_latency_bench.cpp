// How long a change of the screen takes to reach the encoder's hand-over (the stream's frame
// callback), on a private Xvfb at 1280 × 720 and 60 fps: a window is filled with a new colour and
// the first frame showing it is awaited. Reading on change (DAMAGE) beside the baseline, reading on
// a fixed grid of frame intervals, in the same run. Two kinds of source: one that changes at most
// once per frame interval, at a random phase (a game or video at up to the stream's rate — the
// case capture on change is for), and one that changes at any moment, also within the interval
// after a read, where the stream's rate cap makes the change wait for the next slot. Reported: mean
// (the benchmark's time), p50 and p99 in ms, and frames read per second of a still screen.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/x11_capture.h"
#include "platform/linux/x11_paint_client.h"
#include "tests/inputhelper/xvfb_display.h"

namespace {

using namespace ferrowin::platform;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280, kHeight = 720;

// Frames of a stream: the time each arrived and the colour of its middle pixel.
class Watcher {
 public:
  CaptureStream::Delegate delegate() {
    CaptureStream::Delegate d;
    d.onFrame = [this](CapturedFrame frame) {
      const uint8_t* pixel = frame.image.at(kWidth / 2, kHeight / 2);
      const uint32_t rgb = uint32_t(pixel[2]) << 16 | uint32_t(pixel[1]) << 8 | pixel[0];
      std::lock_guard lock(mutex_);
      ++frames_;
      colour_ = rgb;
      arrived_ = Clock::now();
      changed_.notify_all();
    };
    return d;
  }
  // When the first frame of `rgb` arrived; nothing after 2 s.
  std::optional<Clock::time_point> waitFor(uint32_t rgb) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(2), [&] { return colour_ == rgb; })) {
      return std::nullopt;
    }
    return arrived_;
  }
  int frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int frames_ = 0;
  uint32_t colour_ = 0xFFFFFFFF;
  Clock::time_point arrived_;
};

double percentileOf(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto rank = size_t(std::max(1.0, std::ceil(fraction * double(values.size()))));
  return values[std::min(rank, values.size()) - 1];
}

void BM_ChangeToCapturedFrame(benchmark::State& state) {
  ferrowin::testing::XvfbDisplay xvfb;
  if (xvfb.name().empty()) return state.SkipWithError("no Xvfb");
  const auto timing = static_cast<X11CaptureTiming>(state.range(0));
  const bool anyMoment = state.range(1) != 0;
  auto backend = makeX11CaptureBackend(xvfb.name(), timing);
  auto painter = x11::X11PaintClient::open(xvfb.name());
  if (!backend || !painter) return state.SkipWithError("cannot open the display");
  const uint32_t window = painter->show({0, 0, kWidth, kHeight, 0x000000, "bench", "Bench", 0, ""});
  Watcher watcher;
  CaptureStreamConfiguration config;
  config.width = kWidth;
  config.height = kHeight;
  config.fps = 60;
  config.showsCursor = false;
  const CaptureFilter filter{CaptureFilter::Kind::display, (*backend)->mainDisplayId(),
                             CaptureRect{0, 0, kWidth, kHeight}, 1.0};
  auto stream = (*backend)->createStream(filter, config, watcher.delegate());
  if (!stream || !(*stream)->start()) return state.SkipWithError("cannot start the stream");
  watcher.waitFor(0x000000);

  // A still screen: how many reads a second it costs.
  const int before = watcher.frames();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int stillReads = watcher.frames() - before;

  std::mt19937 random(7);
  // Microseconds between the frame that showed the last change and the next change.
  std::uniform_int_distribution<int> pause(anyMoment ? 0 : 16'667, 33'333);
  std::vector<double> latencies;
  uint32_t colour = 0x101010;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    colour = colour == 0x101010 ? 0xF0F0F0 : 0x101010;
    const Clock::time_point changed = Clock::now();
    painter->fill(window, 0, 0, kWidth, kHeight, colour);
    const auto arrived = watcher.waitFor(colour);
    if (!arrived) return state.SkipWithError("the change never reached a frame");
    const double seconds = std::chrono::duration<double>(*arrived - changed).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1000);
  }
  (*stream)->stop();
  state.counters["p50_ms"] = percentileOf(latencies, 0.5);
  state.counters["p99_ms"] = percentileOf(latencies, 0.99);
  state.counters["still_reads_per_s"] = stillReads;
  state.SetLabel(std::string(timing == X11CaptureTiming::onChange ? "on change" : "every interval") +
                 (anyMoment ? ", changes at any moment" : ", changes at most once per interval"));
}
BENCHMARK(BM_ChangeToCapturedFrame)
    ->Args({static_cast<int>(X11CaptureTiming::onChange), 0})
    ->Args({static_cast<int>(X11CaptureTiming::everyInterval), 0})
    ->Args({static_cast<int>(X11CaptureTiming::onChange), 1})
    ->Args({static_cast<int>(X11CaptureTiming::everyInterval), 1})
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
