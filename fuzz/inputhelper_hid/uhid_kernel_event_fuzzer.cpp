// Events read from /dev/uhid (or the test socket): the decoder, and the gamepad's SET_REPORT logic
// on whatever report bytes it lets through.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "inputhelper/gamepad_reports.h"
#include "platform/linux/uhid_events.h"

namespace {

using namespace ferrowin;

void check(std::span<const uint8_t> bytes) {
  auto event = platform::uhid::decodeKernelEvent(bytes);
  if (!event) return;
  if (event->data.size() > 4096 || event->data.size() > bytes.size()) __builtin_trap();
  auto result = inputhelper::decodeXboxOutputReport(event->reportType, event->reportNumber,
                                                    event->data, true);
  if (result.rumble && result.rumble->durationMs > 5000) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check({data, size});
  // Short inputs spread over a whole event, the tail landing on UHID_OUTPUT's size and type
  // fields, so random bytes reach every branch.
  std::vector<uint8_t> event(platform::uhid::kEventSize, 0);
  if (size > 0) std::memcpy(event.data(), data, std::min(size, event.size()));
  if (size >= 3) std::memcpy(event.data() + 4100, data + size - 3, 3);
  check(event);
  return 0;
}
