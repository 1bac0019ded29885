#pragma once
// The stream the end-to-end tests ask for (small and light, so a loaded two-core machine keeps
// up), and a receiver that decodes what arrives of it.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>

#include "client/audio/opus_stream_decoder.h"
#include "client/video/hevc_decoder.h"
#include "client/video/video_client.h"
#include "tests/integration/host_process.h"

namespace ferrowin::testing {

/// 320 × 180 at 30 fps and 800 kbit/s from `host`'s video port.
inline client::VideoClientOptions smallStream(const HostProcess& host) {
  client::VideoClientOptions options;
  options.port = static_cast<uint16_t>(host.port() + 1);
  options.config.width = 320;
  options.config.height = 180;
  options.config.fps = 30;
  options.config.bitrateKbps = 800;
  return options;
}

/// What a client received over a stretch of time.
struct Received {
  int frames = 0;  // decoded pictures
  int errors = 0;  // pictures, parameter sets, audio configurations and packets that failed
  std::string firstError;
  int width = 0;             // of the last picture
  double firstFrameAt = -1;  // seconds from the start of the stretch
  std::vector<video::Bytes> audioConfigs;
  int audioPackets = 0;
  std::vector<float> samples;  // the decoded sound, in arrival order

  double audioPeak() const {
    double peak = 0;
    for (float sample : samples) peak = std::max(peak, static_cast<double>(std::fabs(sample)));
    return peak;
  }
};

/// Decodes the pictures and the sound a video client delivers, as they arrive.
class StreamReceiver {
 public:
  explicit StreamReceiver(client::MessageSink& messages) : messages_(messages) {
    EXPECT_TRUE(video_.open());
  }

  /// Receives for `seconds`, or until `until` holds after a batch of messages.
  Received receive(double seconds, const std::function<bool(const Received&)>& until = {}) {
    got_ = {};
    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (elapsed() < seconds && !(until && until(got_))) {
      messages_.waitForTotal(seen_ + 1, 0.05);
      for (const auto& message : messages_.take()) {
        ++seen_;
        switch (message.kind) {
          case video::MessageKind::parameterSets:
            if (auto set = video_.setParameterSets(message.payload); !set) fail(set.error());
            break;
          case video::MessageKind::videoFrame:
            if (auto picture = video_.decode(message.payload, message.flags & video::kKeyframeFlag,
                                             message.pts)) {
              if (got_.frames++ == 0) got_.firstFrameAt = elapsed();
              got_.width = picture->width;
            } else {
              fail(picture.error());
            }
            break;
          case video::MessageKind::audioConfig:
            got_.audioConfigs.push_back(message.payload);
            if (auto configured = audio_.configure(message.payload); !configured)
              fail(configured.error());
            break;
          case video::MessageKind::audioPacket:
            ++got_.audioPackets;
            if (auto pcm = audio_.decode(message.payload)) {
              got_.samples.insert(got_.samples.end(), pcm->begin(), pcm->end());
            } else {
              fail(pcm.error());
            }
            break;
          default:
            break;
        }
      }
    }
    return got_;
  }

 private:
  void fail(const std::string& error) {
    if (got_.errors++ == 0) got_.firstError = error;
  }

  client::MessageSink& messages_;
  client::HevcStreamDecoder video_;
  client::OpusStreamDecoder audio_;
  size_t seen_ = 0;
  Received got_;
};

}  // namespace ferrowin::testing
