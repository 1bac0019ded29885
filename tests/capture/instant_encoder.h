#pragma once
// An encoder double for streamer tests: it answers every frame at once.

#include <string_view>

#include "platform/video_encoder.h"

namespace ferrowin::capture {

/// Answers at once: a keyframe with VPS, SPS and PPS first (and whenever one is forced), then
/// delta frames.
class InstantEncoder final : public platform::VideoEncoder {
 public:
  explicit InstantEncoder(int* created) { ++*created; }
  std::string_view codecName() const override { return "instant"; }
  bool isHardware() const override { return false; }
  void encode(platform::BgraFrame, int64_t pts, bool forceKeyframe, Completion done) override {
    platform::EncodedPacket packet;
    packet.keyframe = frames_++ == 0 || forceKeyframe;
    packet.ptsMicros = pts;
    if (packet.keyframe) {
      packet.annexB = {0, 0, 0, 1, 0x40, 1, 0xAA, 0, 0, 0, 1, 0x42, 1, 0xBB,
                       0, 0, 0, 1, 0x44, 1, 0xCC, 0, 0, 0, 1, 0x26, 1, 0xDD};
    } else {
      packet.annexB = {0, 0, 0, 1, 0x02, 1, 0xEE};
    }
    done(std::move(packet));
  }

 private:
  int frames_ = 0;
};

}  // namespace ferrowin::capture
