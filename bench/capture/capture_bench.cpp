// Encoding cost of the synthetic test pattern with our encoder beside the ffmpeg command line
// encoding the same frames with libx265 ultrafast/zerolatency; the BGRA → YUV conversion and the
// drawing of one pattern frame beside a plain copy of the same bytes. Ratios against the
// baselines are printed at the end.

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>

#include "platform/capture_frames.h"
#include "platform/linux/pipewire_frames.h"
#include "platform/synthetic/synthetic_capture.h"
#include "platform/video_encoder.h"
#include "platform/yuv_conversion.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

using ferrowin::platform::BgraFrame;

constexpr int kPatternFrames = 60;

// Distinct frames of the moving pattern, rendered once so rendering is not measured.
const std::vector<BgraFrame>& patternFrames(int width, int height) {
  static std::map<std::pair<int, int>, std::vector<BgraFrame>> cache;
  auto& frames = cache[{width, height}];
  if (frames.empty()) {
    for (int i = 0; i < kPatternFrames; ++i) {
      BgraFrame frame = ferrowin::platform::allocateBgraFrame(width, height);
      ferrowin::platform::drawTestPattern(frame, {0, 0, width, height}, 1, uint64_t(i));
      frames.push_back(frame);
    }
  }
  return frames;
}

double cpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_OurEncoder(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  ferrowin::platform::VideoEncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.fps = 60;
  settings.bitrateKbps = 12000;
  settings.preference = ferrowin::platform::EncoderPreference::software;
  auto encoder = ferrowin::platform::createHevcEncoder(settings);
  if (!encoder) {
    state.SkipWithError(encoder.error().description().c_str());
    return;
  }
  const auto& frames = patternFrames(width, height);
  const double cpuBefore = cpuSeconds(RUSAGE_SELF);
  int64_t index = 0;
  for (auto _ : state) {
    std::promise<void> done;
    (*encoder)->encode(frames[size_t(index % kPatternFrames)], index * 16'667, false,
                       [&](auto) { done.set_value(); });
    done.get_future().wait();
    ++index;
  }
  state.SetItemsProcessed(state.iterations());
  // Every thread of the process: the encoder works on threads of its own.
  state.counters["cpu_ms_per_frame"] =
      (cpuSeconds(RUSAGE_SELF) - cpuBefore) * 1000 / double(std::max<int64_t>(index, 1));
}

// The floor: the ffmpeg command line fed the same BGRA frames on a pipe.
void BM_FfmpegCli(benchmark::State& state) {
  const int width = int(state.range(0)), height = int(state.range(1));
  const auto& frames = patternFrames(width, height);
  // Starting ffmpeg is inside the measured time (a few tens of ms over the whole run): Google
  // Benchmark cannot pause before its loop.
  const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
  FILE* pipe = ::popen(("ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s " +
                        std::to_string(width) + "x" + std::to_string(height) +
                        " -r 60 -i pipe:0 -c:v libx265 -preset ultrafast -tune zerolatency "
                        "-b:v 12M -x265-params log-level=error -f null -")
                           .c_str(),
                       "w");
  if (pipe == nullptr) {
    state.SkipWithError("cannot start ffmpeg");
    return;
  }
  int64_t index = 0;
  for (auto _ : state) {
    const BgraFrame& frame = frames[size_t(index++ % kPatternFrames)];
    std::fwrite(frame.pixels, 1, size_t(frame.stride) * size_t(frame.height), pipe);
  }
  const int status = ::pclose(pipe);  // waits until every frame is encoded
  if (status != 0) state.SkipWithError("ffmpeg failed");
  state.SetItemsProcessed(state.iterations());
  state.counters["cpu_ms_per_frame"] =
      (cpuSeconds(RUSAGE_CHILDREN) - cpuBefore) * 1000 / double(std::max<int64_t>(index, 1));
}

BgraFrame frame1080p() { return patternFrames(1920, 1080)[7]; }

void BM_Memcpy1080p(benchmark::State& state) {
  const BgraFrame source = frame1080p();
  std::vector<uint8_t> target(size_t(source.stride) * 1080);
  for (auto _ : state) {
    std::memcpy(target.data(), source.pixels, target.size());
    benchmark::DoNotOptimize(target.data());
  }
}

void BM_LibyuvBgraToI420_1080p(benchmark::State& state) {
  const BgraFrame source = frame1080p();
  std::vector<uint8_t> y(1920 * 1080), u(960 * 540), v(960 * 540);
  for (auto _ : state) {
    libyuv::ARGBToI420(source.pixels, source.stride, y.data(), 1920, u.data(), 960, v.data(), 960,
                       1920, 1080);
    benchmark::DoNotOptimize(y.data());
  }
}

// What the encoder uses: BT.709, the matrix the stream is tagged with.
void BM_OurBgraToI420Bt709_1080p(benchmark::State& state) {
  const BgraFrame source = frame1080p();
  std::vector<uint8_t> y(1920 * 1080), u(960 * 540), v(960 * 540);
  for (auto _ : state) {
    ferrowin::platform::convertBgraToI420(source, y.data(), 1920, u.data(), 960, v.data(), 960);
    benchmark::DoNotOptimize(y.data());
  }
}

// The same with the sRGB → Display P3 step, beside the plain conversion in the same run, on the
// test pattern and on noise (no two neighbours alike: the portable path's worst case).
BgraFrame noiseFrame1080p() {
  static std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> out(size_t(1920) * 1080 * 4);
    uint32_t state = 12345;
    for (uint8_t& byte : out) {
      state = state * 1664525u + 1013904223u;
      byte = uint8_t(state >> 24);
    }
    return out;
  }();
  return BgraFrame{nullptr, bytes.data(), 1920, 1080, 1920 * 4};
}

void BM_OurBgraToI420_1080p(benchmark::State& state) {
  const bool noise = state.range(0) != 0;
  const auto primaries = state.range(1) != 0 ? ferrowin::platform::OutputPrimaries::displayP3
                                             : ferrowin::platform::OutputPrimaries::bt709;
  const BgraFrame source = noise ? noiseFrame1080p() : frame1080p();
  std::vector<uint8_t> y(1920 * 1080), u(960 * 540), v(960 * 540);
  for (auto _ : state) {
    ferrowin::platform::convertBgraToI420(source, y.data(), 1920, u.data(), 960, v.data(), 960,
                                          primaries);
    benchmark::DoNotOptimize(y.data());
  }
  state.SetLabel(std::string(noise ? "noise" : "pattern") +
                 (state.range(1) != 0 ? " displayP3" : " bt709"));
}

// FFmpeg's own converter with the same matrix.
void BM_SwscaleBgraToI420Bt709_1080p(benchmark::State& state) {
  const BgraFrame source = frame1080p();
  SwsContext* context = sws_getContext(1920, 1080, AV_PIX_FMT_BGRA, 1920, 1080, AV_PIX_FMT_YUV420P,
                                       SWS_POINT, nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  std::vector<uint8_t> y(1920 * 1080), u(960 * 540), v(960 * 540);
  uint8_t* planes[] = {y.data(), u.data(), v.data()};
  const int strides[] = {1920, 960, 960};
  const uint8_t* sourcePlanes[] = {source.pixels};
  const int sourceStrides[] = {source.stride};
  for (auto _ : state) {
    sws_scale(context, sourcePlanes, sourceStrides, 0, 1080, planes, strides);
    benchmark::DoNotOptimize(y.data());
  }
  sws_freeContext(context);
}

// clang-format off
BENCHMARK(BM_OurEncoder)->Args({1280, 720})->Iterations(120)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegCli)->Args({1280, 720})->Iterations(120)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurEncoder)->Args({1920, 1080})->Iterations(60)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegCli)->Args({1920, 1080})->Iterations(60)->UseRealTime()->Unit(benchmark::kMillisecond);
// clang-format on
BENCHMARK(BM_Memcpy1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibyuvBgraToI420_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurBgraToI420Bt709_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SwscaleBgraToI420Bt709_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurBgraToI420_1080p)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

// One frame of the synthetic source's pattern (what the host draws per captured frame).
void BM_DrawTestPattern1080p(benchmark::State& state) {
  BgraFrame frame = ferrowin::platform::allocateBgraFrame(1920, 1080);
  uint64_t number = 0;
  for (auto _ : state) {
    ferrowin::platform::drawTestPattern(frame, {0, 0, 1920, 1080}, 1, number++);
    benchmark::DoNotOptimize(frame.pixels);
  }
}
BENCHMARK(BM_DrawTestPattern1080p)->Unit(benchmark::kMillisecond);

// Taking one 1080p PipeWire picture into our BGRA frame, per producer layout (0 BGRx: a copy,
// 1 RGBx, 2 xRGB, 3 xBGR: a swizzle), against memcpy of the same bytes.
void BM_PipeWireToBgra1080p(benchmark::State& state) {
  using ferrowin::platform::pipewire::PixelLayout;
  const BgraFrame source = frame1080p();
  BgraFrame target = ferrowin::platform::allocateBgraFrame(1920, 1080);
  const auto layout = PixelLayout(state.range(0));
  for (auto _ : state) {
    ferrowin::platform::pipewire::convertToBgra(source.pixels, source.stride, layout, target);
    benchmark::DoNotOptimize(target.pixels);
  }
}
BENCHMARK(BM_PipeWireToBgra1080p)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Keeps the median (or the only run) of each benchmark's real time per iteration, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Iteration || median) {
        const std::string name = run.run_name.str();
        if (median || !medians_.count(name)) {
          medians_[name] = run.GetAdjustedRealTime();
          if (auto cpu = run.counters.find("cpu_ms_per_frame"); cpu != run.counters.end()) {
            medians_[name + " cpu"] = cpu->second.value;
          }
        }
      }
    }
  }

  void printRatios() const {
    const auto ratio = [&](const std::string& what, const std::string& ours,
                           const std::string& base) {
      auto a = medians_.find(ours), b = medians_.find(base);
      if (a == medians_.end() || b == medians_.end()) return;
      std::printf("%-52s %6.2f  (%.2f ms vs %.2f ms)\n", what.c_str(), a->second / b->second,
                  a->second, b->second);
    };
    std::printf("\nratios of medians (time per frame; below 1 is faster than the baseline)\n");
    ratio("encode 1280x720, ours / ffmpeg CLI", "BM_OurEncoder/1280/720/iterations:120/real_time",
          "BM_FfmpegCli/1280/720/iterations:120/real_time");
    ratio("encode 1920x1080, ours / ffmpeg CLI", "BM_OurEncoder/1920/1080/iterations:60/real_time",
          "BM_FfmpegCli/1920/1080/iterations:60/real_time");
    ratio("encode CPU 1280x720, ours / ffmpeg CLI",
          "BM_OurEncoder/1280/720/iterations:120/real_time cpu",
          "BM_FfmpegCli/1280/720/iterations:120/real_time cpu");
    ratio("encode CPU 1920x1080, ours / ffmpeg CLI",
          "BM_OurEncoder/1920/1080/iterations:60/real_time cpu",
          "BM_FfmpegCli/1920/1080/iterations:60/real_time cpu");
    ratio("BGRA->I420 1080p libyuv (BT.601) / memcpy", "BM_LibyuvBgraToI420_1080p",
          "BM_Memcpy1080p");
    ratio("BGRA->I420 1080p ours (BT.709, used) / memcpy", "BM_OurBgraToI420Bt709_1080p",
          "BM_Memcpy1080p");
    ratio("BGRA->I420 1080p swscale (BT.709) / memcpy", "BM_SwscaleBgraToI420Bt709_1080p",
          "BM_Memcpy1080p");
    ratio("BGRA->I420 1080p ours / swscale", "BM_OurBgraToI420Bt709_1080p",
          "BM_SwscaleBgraToI420Bt709_1080p");
    ratio("BGRA->I420 1080p pattern, Display P3 / BT.709", "BM_OurBgraToI420_1080p/0/1",
          "BM_OurBgraToI420_1080p/0/0");
    ratio("BGRA->I420 1080p noise, Display P3 / BT.709", "BM_OurBgraToI420_1080p/1/1",
          "BM_OurBgraToI420_1080p/1/0");
    ratio("draw one 1080p pattern frame / memcpy", "BM_DrawTestPattern1080p", "BM_Memcpy1080p");
    ratio("PipeWire BGRx picture to BGRA 1080p / memcpy", "BM_PipeWireToBgra1080p/0",
          "BM_Memcpy1080p");
    ratio("PipeWire RGBx picture to BGRA 1080p / memcpy", "BM_PipeWireToBgra1080p/1",
          "BM_Memcpy1080p");
    ratio("PipeWire xRGB picture to BGRA 1080p / memcpy", "BM_PipeWireToBgra1080p/2",
          "BM_Memcpy1080p");
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
