#pragma once
// A virtual monitor sized for the client, and the display arrangements around it: beside the real
// displays, or as the main display with the built-in panel mirrored onto it, and back again.
//
// The monitor itself comes from the platform's VirtualDisplayBackend (RandR spare outputs on X11);
// this file holds what does not depend on the display server: the creation attempts and their
// descriptor, the choice of the real and the anchor display, and the arrangement steps.
// Main executor only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "platform/virtual_display.h"
#include "protocol/stream_config.h"

namespace ferrowin::capture {

struct VirtualDisplayError {
  std::string message;
  const std::string& description() const { return message; }
};

inline constexpr uint32_t kVirtualDisplayVendorID = 0x4657;

/// The monitor exists exactly as long as this object.
class VirtualDisplay {
 public:
  /// Up to max(attempts, 1) attempts with serial numbers 1, 2, …; the last failure when all fail.
  [[nodiscard]] static Expected<std::unique_ptr<VirtualDisplay>, VirtualDisplayError> create(
      platform::VirtualDisplayBackend& backend, const std::string& name, int width, int height,
      int attempts, double refreshHz, double pixelsPerInch);

  uint32_t displayID() const { return displayID_; }
  int pixelsWide() const { return descriptor_.width; }
  int pixelsHigh() const { return descriptor_.height; }
  double refreshHz() const { return descriptor_.refreshHz; }
  bool hiDPI() const { return descriptor_.hiDPI; }
  uint32_t productID() const { return descriptor_.productID; }
  uint32_t serialNum() const { return descriptor_.serialNum; }
  /// Everything it was made with, the values the display server has no place for included.
  const platform::VirtualMonitorDescriptor& descriptor() const { return descriptor_; }

 private:
  VirtualDisplay(std::unique_ptr<platform::VirtualMonitor> object,
                 platform::VirtualMonitorDescriptor descriptor)
      : object_(std::move(object)),
        displayID_(object_->displayId()),
        descriptor_(std::move(descriptor)) {}

  std::unique_ptr<platform::VirtualMonitor> object_;
  uint32_t displayID_;
  platform::VirtualMonitorDescriptor descriptor_;
};

/// The display to make main again or to capture instead of `excluding`: the main display, else
/// the first built-in one, else the first other one.
std::optional<uint32_t> realDisplay(platform::VirtualDisplayBackend& backend, uint32_t excluding);
/// The display a virtual one is put beside: the main display when it is not `virtualId`, else the
/// first other display that is not mirrored, else `virtualId`.
uint32_t anchorDisplay(const std::vector<platform::LiveDisplay>& displays, uint32_t mainId,
                       uint32_t virtualId);

/// `extended`: directly right of the anchor, top-aligned. `main`: at (0, 0) as the main display,
/// the first built-in display mirrored onto it, displays at the origin moved right of it.
[[nodiscard]] Expected<void, VirtualDisplayError> placeVirtualDisplay(
    platform::VirtualDisplayBackend& backend, uint32_t virtualId, VirtualDisplayChoice placement,
    const std::vector<platform::LiveDisplay>& displays, int virtualWidth);
/// Makes `realId` main at (0, 0) again and parks the virtual display right of it. Nothing
/// happens when `realId` is 0 or the virtual display itself.
[[nodiscard]] Expected<void, VirtualDisplayError> restoreMainDisplay(
    platform::VirtualDisplayBackend& backend, uint32_t realId, uint32_t virtualId);

}  // namespace ferrowin::capture
