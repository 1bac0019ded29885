#include "server/capture/virtual_display.h"

#include <algorithm>
#include <cmath>

#include "common/util/log.h"

namespace ferrowin::capture {

namespace {

auto vdisplayLog() { return common::logger("com.zavel.ferrowin", "vdisplay"); }

VirtualDisplayError failure(const std::string& what, int code) {
  return VirtualDisplayError{what + " failed (" + std::to_string(code) + ")."};
}

}  // namespace

Expected<std::unique_ptr<VirtualDisplay>, VirtualDisplayError> VirtualDisplay::create(
    platform::VirtualDisplayBackend& backend, const std::string& name, int width, int height,
    int attempts, double refreshHz, double pixelsPerInch) {
  if (auto missing = backend.missingReason()) return unexpected(VirtualDisplayError{*missing});
  if (width < 2 || height < 2) {
    return unexpected(VirtualDisplayError{"Pixel size must be at least 2×2."});
  }
  platform::VirtualMonitorDescriptor descriptor;
  descriptor.name = name;
  descriptor.vendorID = kVirtualDisplayVendorID;
  descriptor.productID = 1;
  descriptor.maxPixelsWide = width;
  descriptor.maxPixelsHigh = height;
  descriptor.widthMillimetres = width * 25.4 / pixelsPerInch;
  descriptor.heightMillimetres = height * 25.4 / pixelsPerInch;
  descriptor.whitePoint = {0.3125, 0.3291};
  descriptor.redPrimary = {0.6797, 0.3203};
  descriptor.greenPrimary = {0.2559, 0.6983};
  descriptor.bluePrimary = {0.1494, 0.0557};
  descriptor.width = width;
  descriptor.height = height;
  descriptor.refreshHz = refreshHz;
  descriptor.hiDPI = false;

  VirtualDisplayError last;
  const uint32_t serials = uint32_t(std::max(attempts, 1));
  for (uint32_t serial = 1; serial <= serials; ++serial) {
    descriptor.serialNum = serial;
    auto monitor = backend.createMonitor(descriptor);
    if (monitor && (*monitor)->displayId() != 0) {
      vdisplayLog()->info("Virtual display created with serial {}", serial);
      return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(std::move(*monitor), descriptor));
    }
    last = VirtualDisplayError{monitor ? std::string("applySettings failed.") : monitor.error()};
    if (serial < serials) {
      vdisplayLog()->info("Virtual display serial {} failed; trying the next", serial);
    }
  }
  return unexpected(last);
}

std::optional<uint32_t> realDisplay(platform::VirtualDisplayBackend& backend, uint32_t excluding) {
  const uint32_t main = backend.mainDisplayId();
  if (main != 0 && main != excluding) return main;
  const auto displays = backend.liveDisplays();
  for (const platform::LiveDisplay& display : displays) {
    if (display.isBuiltin && display.id != excluding) return display.id;
  }
  for (const platform::LiveDisplay& display : displays) {
    if (display.id != excluding) return display.id;
  }
  return std::nullopt;
}

uint32_t anchorDisplay(const std::vector<platform::LiveDisplay>& displays, uint32_t mainId,
                       uint32_t virtualId) {
  if (mainId != virtualId && mainId != 0) return mainId;
  for (const platform::LiveDisplay& display : displays) {
    if (display.id != virtualId && !display.isMirrored) return display.id;
  }
  return virtualId;
}

Expected<void, VirtualDisplayError> placeVirtualDisplay(
    platform::VirtualDisplayBackend& backend, uint32_t virtualId, VirtualDisplayChoice placement,
    const std::vector<platform::LiveDisplay>& displays, int virtualWidth) {
  auto begun = backend.beginConfiguration();
  if (!begun) return unexpected(failure("Begin display configuration", begun.error()));
  platform::DisplayConfiguration& configuration = **begun;
  if (int code = configuration.configureMirror(virtualId, 0)) {
    vdisplayLog()->info("Unmirror returned {}; continuing", code);
  }
  if (placement == VirtualDisplayChoice::extended) {
    const uint32_t anchor = anchorDisplay(displays, backend.mainDisplayId(), virtualId);
    const auto bounds = backend.displayBounds(anchor).value_or(platform::CaptureRect{});
    if (int code =
            configuration.configureOrigin(virtualId, int32_t(std::lround(bounds.x + bounds.width)),
                                          int32_t(std::lround(bounds.y)))) {
      configuration.cancel();
      return unexpected(failure("Place extended display", code));
    }
  } else {
    if (int code = configuration.configureOrigin(virtualId, 0, 0)) {
      configuration.cancel();
      return unexpected(failure("Place main display", code));
    }
    std::optional<uint32_t> builtin;
    for (const platform::LiveDisplay& display : displays) {
      if (display.isBuiltin && display.id != virtualId) {
        builtin = display.id;
        break;
      }
    }
    if (builtin) {
      if (int code = configuration.configureMirror(*builtin, virtualId)) {
        vdisplayLog()->info("Mirror built-in {} failed ({})", *builtin, code);
      }
    } else {
      vdisplayLog()->info("No built-in display online; skipped mirroring");
    }
    for (const platform::LiveDisplay& display : displays) {
      if (display.id == virtualId || display.id == builtin) continue;
      const auto bounds = backend.displayBounds(display.id);
      const bool atOrigin = bounds && std::abs(bounds->x) < 1 && std::abs(bounds->y) < 1;
      if (!display.isMain && !atOrigin) continue;
      if (int code = configuration.configureOrigin(display.id, std::max(virtualWidth, 1), 0)) {
        configuration.cancel();
        return unexpected(failure("Shift display " + std::to_string(display.id), code));
      }
    }
  }
  if (int code = configuration.complete()) {
    return unexpected(failure("Complete display configuration", code));
  }
  return {};
}

Expected<void, VirtualDisplayError> restoreMainDisplay(platform::VirtualDisplayBackend& backend,
                                                       uint32_t realId, uint32_t virtualId) {
  if (realId == 0 || realId == virtualId) return {};
  auto begun = backend.beginConfiguration();
  if (!begun) return unexpected(failure("Begin display configuration", begun.error()));
  platform::DisplayConfiguration& configuration = **begun;
  if (int code = configuration.configureMirror(realId, 0)) {
    vdisplayLog()->info("Unmirror real display returned {}; continuing", code);
  }
  if (int code = configuration.configureMirror(virtualId, 0)) {
    vdisplayLog()->info("Unmirror virtual display returned {}; continuing", code);
  }
  const auto real = backend.displayBounds(realId).value_or(platform::CaptureRect{});
  const auto virtualBounds = backend.displayBounds(virtualId).value_or(platform::CaptureRect{});
  const double parkX = std::ceil(std::max({real.width, virtualBounds.width, 1.0}));
  if (int code = configuration.configureOrigin(virtualId, int32_t(parkX), 0)) {
    configuration.cancel();
    return unexpected(failure("Park virtual display", code));
  }
  if (int code = configuration.configureOrigin(realId, 0, 0)) {
    configuration.cancel();
    return unexpected(failure("Place main display", code));
  }
  if (int code = configuration.complete()) {
    return unexpected(failure("Complete display configuration", code));
  }
  return {};
}

}  // namespace ferrowin::capture
