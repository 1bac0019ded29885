#include "inputhelper/preflight.h"

#include "common/util/json.h"
#include "common/util/log.h"

namespace ferrowin::inputhelper {

InputHelperPreflightResult runPreflight(bool promptAccessibility, bool probeHID,
                                        const std::function<bool()>& accessibilityTrusted,
                                        VirtualGamepadFactory& gamepads) {
  auto log = common::logger(common::kHelperSubsystem, "main");
  InputHelperPreflightResult result;
  if (promptAccessibility) result.accessibilityTrusted = accessibilityTrusted();
  if (probeHID) {
    if (auto device = gamepads.create(common::DeviceProfile::xbox)) {
      (*device)->cancel();
      result.virtualHIDAvailable = true;
    } else {
      log->error("Virtual HID preflight failed: {}", device.error().description());
    }
  }
  log->info("preflight accessibilityTrusted={} virtualHIDAvailable={} prompt={} probeHID={}",
            result.accessibilityTrusted, result.virtualHIDAvailable, promptAccessibility, probeHID);
  return result;
}

std::string encodePreflightLine(const InputHelperPreflightResult& result) {
  return common::encodeJson(common::Json{{"accessibilityTrusted", result.accessibilityTrusted},
                                         {"virtualHIDAvailable", result.virtualHIDAvailable}}) +
         "\n";
}

}  // namespace ferrowin::inputhelper
