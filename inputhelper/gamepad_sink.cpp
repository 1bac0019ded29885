#include "inputhelper/gamepad_sink.h"

#include <cstdio>

namespace ferrowin::inputhelper {

void DeviceSink::apply(const VirtualGamepadInputReport& report) {
  auto device = owned_.lock();
  if (!device) return;
  auto* guide = profile_ == common::DeviceProfile::xbox ? &guideState_ : nullptr;
  if (auto sent = device->send(report, guide); !sent) {
    std::printf("gamepad dispatch failed: %s\n", sent.error().description().c_str());
    std::fflush(stdout);
  }
}

}  // namespace ferrowin::inputhelper
