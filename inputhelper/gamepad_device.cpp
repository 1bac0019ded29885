#include "inputhelper/gamepad_device.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>

#include "common/util/log.h"
#include "inputhelper/gamepad_descriptors.h"

namespace ferrowin::inputhelper {

namespace {

auto log() { return common::serverLog("virtual-hid"); }

}  // namespace

std::string VirtualHIDDeviceError::description() const {
  switch (kind) {
    case Kind::handleReportFailed:
      return fmt::format("HandleReport IOReturn 0x{:08x}", static_cast<uint32_t>(code));
    case Kind::deviceCreationFailed:
      return "virtual HID device could not be created: " + reason;
    case Kind::invalidOutputReport:
      return "invalid output report";
    case Kind::unsupportedGetReport:
      return "unsupported GET_REPORT";
  }
  return {};
}

XboxUSBReports& XboxUSBReports::shared() {
  static XboxUSBReports instance;
  return instance;
}

bool XboxUSBReports::enabled() const {
  std::lock_guard lock(lock_);
  return enabled_;
}

void XboxUSBReports::setEnabled(bool enabled) {
  std::lock_guard lock(lock_);
  enabled_ = enabled;
}

FerrowinVirtualGamepad::FerrowinVirtualGamepad(common::DeviceProfile profile)
    : profile_(profile), profileLabel_(common::deviceProfileText(profile)) {
  if (profile_ == common::DeviceProfile::generic) genericInputCache_.emplace();
}

Expected<std::shared_ptr<FerrowinVirtualGamepad>, VirtualHIDDeviceError>
FerrowinVirtualGamepad::create(common::DeviceProfile profile,
                               platform::VirtualHIDBackend& backend) {
  std::shared_ptr<FerrowinVirtualGamepad> gamepad(new FerrowinVirtualGamepad(profile));
  std::weak_ptr<FerrowinVirtualGamepad> weak = gamepad;
  platform::VirtualHIDHandlers handlers;
  // A handler whose device object is gone answers with a general error.
  handlers.getReport = [weak](platform::HIDReportType type,
                              uint8_t reportId) -> Expected<std::vector<uint8_t>, int> {
    if (auto self = weak.lock()) return self->handleGetReport(type, reportId);
    return make_unexpected(EIO);
  };
  handlers.setReport = [weak](platform::HIDReportType type, uint8_t reportId,
                              std::span<const uint8_t> bytes) {
    if (auto self = weak.lock()) return self->handleSetReport(type, reportId, bytes);
    return EIO;
  };
  // Output reports (rumble written by a force-feedback driver) take the SET_REPORT path; their
  // first byte is the report id.
  handlers.output = [weak](platform::HIDReportType type, std::span<const uint8_t> bytes) {
    if (auto self = weak.lock()) {
      (void)self->handleSetReport(type, bytes.empty() ? 0 : bytes[0], bytes);
    }
  };
  // Silent when the device goes with its owner rather than through cancel().
  handlers.cancelled = [weak] {
    if (auto self = weak.lock()) {
      log()->info("IOHIDUserDevice cancel handler (profile {})", self->profileLabel_);
    }
  };
  auto device =
      backend.create(gamepadProperties(profile), std::move(handlers), gamepadQueueLabel(profile));
  if (!device) {
    return make_unexpected(
        VirtualHIDDeviceError::deviceCreationFailed(device.error().description()));
  }
  gamepad->device_ = std::move(*device);
  log()->info("FerrowinVirtualGamepad allocated ({})", gamepad->profileLabel_);
  return gamepad;
}

FerrowinVirtualGamepad::~FerrowinVirtualGamepad() {
  if (!device_) return;  // creation failed: there was never a device
  if (cancelled_) {
    log()->info("FerrowinVirtualGamepad deallocated ({})", profileLabel_);
  } else {
    log()->info("FerrowinVirtualGamepad deallocated without cancel ({})", profileLabel_);
  }
  // device_'s destructor destroys a device that was never cancelled.
}

void FerrowinVirtualGamepad::activate() {
  isActivated_ = true;
  log()->info("IOHIDUserDevice activated (profile {})", profileLabel_);
}

void FerrowinVirtualGamepad::setOnRumble(RumbleCallback onRumble) {
  std::lock_guard lock(rumbleLock_);
  onRumble_ = std::move(onRumble);
}

void FerrowinVirtualGamepad::cancel() {
  if (cancelled_.exchange(true)) return;
  log()->info("IOHIDUserDevice cancelling (profile {})", profileLabel_);
  device_->cancel();
  isActivated_ = false;
  log()->info("IOHIDUserDevice cancel complete (profile {})", profileLabel_);
}

Expected<void, platform::VirtualHIDError> FerrowinVirtualGamepad::submit(
    std::span<const uint8_t> report) {
  return device_->sendInputReport(report);
}

Expected<void, VirtualHIDDeviceError> FerrowinVirtualGamepad::send(
    const VirtualGamepadInputReport& report, XboxGuideState* guideState) {
  if (profile_ == common::DeviceProfile::generic) {
    auto bytes = genericInputReport(report);
    if (auto sent = submit(bytes); !sent) {
      return make_unexpected(VirtualHIDDeviceError::handleReportFailed(sent.error().code));
    }
    std::lock_guard lock(genericInputCache_->lock);
    genericInputCache_->report = bytes;
    return {};
  }

  if (auto sent = submit(xboxMainReport(report)); !sent) {
    return make_unexpected(VirtualHIDDeviceError::handleReportFailed(sent.error().code));
  }
  const bool usbReports = XboxUSBReports::shared().enabled();
  if (usbReports) {
    uint8_t sequence = guideState ? guideState->gipSequence++ : 0;
    if (auto sent = submit(gipInputFrame(report, sequence)); !sent) {
      log()->info("USB GIP report rejected: {}",
                  VirtualHIDDeviceError::handleReportFailed(sent.error().code).description());
    }
  }
  if (guideState) {
    const bool pressed = (report.buttons >> 10) & 1;
    const bool emit =
        guideState->lastHomePressed ? *guideState->lastHomePressed != pressed : pressed;
    guideState->lastHomePressed = pressed;
    if (emit) {
      (void)submit(xboxGuideReport(pressed));
      if (usbReports) (void)submit(gipGuideFrame(guideState->gipSequence++, pressed));
    }
  }
  return {};
}

Expected<void, VirtualHIDDeviceError> FerrowinVirtualGamepad::sendBatteryStrength(
    uint8_t strength) {
  if (auto sent = submit(xboxBatteryReport(strength)); !sent) {
    return make_unexpected(VirtualHIDDeviceError::handleReportFailed(sent.error().code));
  }
  return {};
}

void FerrowinVirtualGamepad::sendUSBNeutralAndGuideReleased() {
  if (profile_ != common::DeviceProfile::xbox) return;
  (void)submit(gipInputFrame(VirtualGamepadInputReport{}, 0));
  (void)submit(gipGuideFrame(1, false));
}

Expected<std::vector<uint8_t>, int> FerrowinVirtualGamepad::handleGetReport(
    platform::HIDReportType type, uint8_t reportId) {
  if (type != platform::HIDReportType::input) return make_unexpected(EOPNOTSUPP);
  if (genericInputCache_) {
    std::lock_guard lock(genericInputCache_->lock);
    return std::vector<uint8_t>(genericInputCache_->report.begin(),
                                genericInputCache_->report.end());
  }
  if (reportId == 1 || reportId == 2) return std::vector<uint8_t>{};
  return make_unexpected(EOPNOTSUPP);
}

int FerrowinVirtualGamepad::handleSetReport(platform::HIDReportType type, uint8_t reportId,
                                            std::span<const uint8_t> bytes) {
  if (profile_ == common::DeviceProfile::generic) return 0;
  auto result = decodeXboxOutputReport(type, reportId, bytes, XboxUSBReports::shared().enabled());
  if (!result.rumble) return errnoFor(result.status);
  if (lastOutputReport_ != result.bytes) {
    log()->debug("rumble SET_REPORT {}: {}", result.label, hexBytes(result.bytes));
    lastOutputReport_ = result.bytes;
  }
  RumbleCallback onRumble;
  {
    std::lock_guard lock(rumbleLock_);
    onRumble = onRumble_;
  }
  if (onRumble) {
    const RumbleCommand& r = *result.rumble;
    onRumble(r.strong, r.weak, r.leftTrigger, r.rightTrigger, r.durationMs);
  }
  return errnoFor(result.status);
}

}  // namespace ferrowin::inputhelper
