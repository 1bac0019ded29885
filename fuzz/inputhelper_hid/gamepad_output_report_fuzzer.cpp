// Output reports a game writes to the Xbox device: byte 0 picks the report type, byte 1 the
// report id the system names, bit 0 of byte 2 the Steam-support switch; the rest is the report.
#include <cstdint>

#include "inputhelper/gamepad_reports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferrowin;
  if (size < 3) return 0;
  auto type = static_cast<platform::HIDReportType>(data[0] % 3);
  auto result =
      inputhelper::decodeXboxOutputReport(type, data[1], {data + 3, size - 3}, data[2] & 1);
  const bool success = result.status == inputhelper::OutputReportStatus::success;
  if (result.rumble && (!success || result.rumble->durationMs > 5000)) __builtin_trap();
  if (result.rumble && result.bytes.empty()) __builtin_trap();
  (void)inputhelper::hexBytes(result.bytes);
  return 0;
}
