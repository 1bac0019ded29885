// The host's audio path per 20 ms frame (buffer checks, conversion when needed, framing, libopus,
// statistics) against libopus alone encoding the same samples with the same settings, in the same
// run. Ratio = BM_AudioPath / BM_OpusAlone; the 44.1 kHz case adds libswresample's resampling.
// bench/audio_latency.sh measures capture-to-decoded latency end to end.

#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cstring>

#include "platform/synthetic/synthetic_audio.h"
#include "server/audio/opus_encoder.h"

namespace {

using ferrowin::platform::AudioSampleBuffer;
using ferrowin::platform::AudioSampleKind;

/// One second of the synthetic tone, in buffers of `frames` frames at `rate`.
std::vector<AudioSampleBuffer> toneBuffers(int rate, int frames) {
  std::vector<AudioSampleBuffer> buffers;
  for (int start = 0; start + frames <= rate; start += frames) {
    AudioSampleBuffer buffer;
    buffer.format = {rate, AudioSampleKind::floatingPoint, 32, true, 2};
    buffer.frames = frames;
    const auto samples =
        ferrowin::platform::syntheticToneFrames(static_cast<uint64_t>(start), frames, 2);
    buffer.planes.emplace_back(samples.size() * sizeof(float));
    std::memcpy(buffer.planes[0].data(), samples.data(), buffer.planes[0].size());
    buffer.presentationTime = static_cast<double>(start) / rate;
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

void BM_OpusAlone(benchmark::State& state) {
  int error = 0;
  OpusEncoder* encoder =
      opus_encoder_create(48000, 2, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(64000));
  opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(5));
  const auto samples = ferrowin::platform::syntheticToneFrames(0, 48000, 2);
  unsigned char packet[4096];
  size_t frame = 0;
  for (auto _ : state) {
    const int length =
        opus_encode_float(encoder, samples.data() + frame * 960 * 2, 960, packet, sizeof packet);
    benchmark::DoNotOptimize(length);
    frame = (frame + 1) % 50;
  }
  opus_encoder_destroy(encoder);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpusAlone);

/// Frames of 20 ms through the whole encoder: 480-frame (10 ms) buffers at 48 kHz as the capture
/// backends deliver them, or 441-frame buffers at 44.1 kHz (resampled).
void BM_AudioPath(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const auto buffers = toneBuffers(rate, rate / 100);
  ferrowin::audio::OpusEncoder encoder(2, 64, "bench");
  auto stats = std::make_shared<ferrowin::audio::AudioStreamStats>();
  encoder.setStats(stats);
  size_t packets = 0;
  encoder.onAudio = [&](const ferrowin::audio::Bytes&, uint64_t) { ++packets; };
  size_t next = 0;
  for (auto _ : state) {
    // Two 10 ms buffers make one packet.
    encoder.encode(buffers[next]);
    encoder.encode(buffers[next + 1]);
    next = (next + 2) % buffers.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["packets_per_iteration"] =
      static_cast<double>(packets) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_AudioPath)->Arg(48000)->Arg(44100);

}  // namespace

BENCHMARK_MAIN();
