#include "platform/linux/pulse_tone_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

namespace ferrowin::platform {
namespace {

class Player final : public PulseTonePlayer {
 public:
  Player(pa_simple* simple, Options options) : simple_(simple), options_(std::move(options)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Player() override {
    stopping_ = true;
    thread_.join();
    pa_simple_free(simple_);
  }
  void setAudible(bool audible) override { audible_ = audible; }

 private:
  void run() {
    constexpr int kBlock = 240;  // 5 ms
    std::vector<float> block(static_cast<size_t>(kBlock * options_.channels));
    uint64_t frame = 0;
    while (!stopping_) {
      const bool audible = audible_;
      for (int i = 0; i < kBlock; ++i, ++frame) {
        const double t = static_cast<double>(frame) / 48000.0;
        const auto value = audible ? static_cast<float>(options_.amplitude *
                                                        std::sin(2 * std::numbers::pi *
                                                                 options_.frequency * t))
                                   : 0.0f;
        for (int c = 0; c < options_.channels; ++c) {
          block[static_cast<size_t>(i * options_.channels + c)] = value;
        }
      }
      int error = 0;
      // Blocks while the server's buffer is full: this paces the loop in real time.
      if (pa_simple_write(simple_, block.data(), block.size() * sizeof(float), &error) < 0) return;
    }
  }

  pa_simple* simple_;
  const Options options_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> audible_{true};
  std::thread thread_;
};

}  // namespace

Expected<std::unique_ptr<PulseTonePlayer>, std::string> PulseTonePlayer::start(Options options) {
  pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, 48000, static_cast<uint8_t>(options.channels)};
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(
      static_cast<pa_usec_t>(options.latencySeconds * 1e6), &sampleFormat));
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int error = 0;
  pa_simple* simple = pa_simple_new(options.server.empty() ? nullptr : options.server.c_str(),
                                    "ferrowin-tone", PA_STREAM_PLAYBACK,
                                    options.sink.empty() ? nullptr : options.sink.c_str(), "tone",
                                    &sampleFormat, nullptr, &attr, &error);
  if (!simple) return tl::unexpected(std::string("cannot play a tone: ") + pa_strerror(error));
  return std::make_unique<Player>(simple, std::move(options));
}

}  // namespace ferrowin::platform
