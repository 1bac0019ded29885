#include "inputhelper/mouse_device.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "common/util/log.h"

namespace ferrowin::inputhelper {

namespace {

auto log() { return common::serverLog("mouse"); }

// clang-format off
constexpr uint8_t kMouseDescriptor[] = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Button)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Variable, Absolute)
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Constant)
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x02,  //     Report Count (2)
    0x81, 0x06,  //     Input (Data, Variable, Relative)
    0x09, 0x38,  //     Usage (Wheel)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x01,  //     Report Count (1)
    0x81, 0x06,  //     Input (Data, Variable, Relative)
    0xC0,        //   End Collection
    0xC0,        // End Collection
};
// clang-format on
static_assert(sizeof kMouseDescriptor == 62);

int chunk(int remaining) { return std::clamp(remaining, -128, 127); }

}  // namespace

std::span<const uint8_t> mouseReportDescriptor() { return kMouseDescriptor; }

platform::VirtualHIDProperties mouseProperties() {
  platform::VirtualHIDProperties properties;
  properties.reportDescriptor.assign(std::begin(kMouseDescriptor), std::end(kMouseDescriptor));
  properties.transport = "USB";
  properties.vendorId = 0x1209;
  properties.productId = 0x4D53;
  properties.versionNumber = 2;
  properties.product = "Ferrowin Virtual Mouse";
  properties.serialNumber = "VG-MS-0001";
  properties.locationId = 0x1B53A79C;
  return properties;
}

std::vector<std::array<uint8_t, 4>> mouseReports(int dx, int dy, bool left, bool right, bool middle,
                                                 int wheel) {
  const auto buttons = static_cast<uint8_t>(left | right << 1 | middle << 2);
  std::vector<std::array<uint8_t, 4>> reports;
  if (dx == 0 && dy == 0 && wheel == 0) return {{buttons, 0, 0, 0}};
  while (dx != 0 || dy != 0 || wheel != 0) {
    int x = chunk(dx), y = chunk(dy), w = chunk(wheel);
    reports.push_back(
        {buttons, static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(w)});
    dx -= x;
    dy -= y;
    wheel -= w;
  }
  return reports;
}

Expected<std::unique_ptr<FerrowinVirtualMouse>, VirtualHIDDeviceError> FerrowinVirtualMouse::create(
    platform::VirtualHIDBackend& backend) {
  platform::VirtualHIDHandlers handlers;
  handlers.getReport = [](platform::HIDReportType, uint8_t) -> Expected<std::vector<uint8_t>, int> {
    return make_unexpected(EOPNOTSUPP);
  };
  handlers.setReport = [](platform::HIDReportType, uint8_t, std::span<const uint8_t>) { return 0; };
  std::unique_ptr<FerrowinVirtualMouse> mouse(new FerrowinVirtualMouse());
  // Silent when the device goes with its owner rather than through cancel().
  handlers.cancelled = [self = mouse.get()] {
    if (self->cancelled_) log()->info("IOHIDUserDevice mouse cancel handler");
  };
  auto device = backend.create(mouseProperties(), std::move(handlers),
                               "com.zavel.ferrowin.virtual-hid.mouse");
  if (!device) {
    return make_unexpected(
        VirtualHIDDeviceError::deviceCreationFailed(device.error().description()));
  }
  mouse->device_ = std::move(*device);
  log()->info("FerrowinVirtualMouse allocated");
  return mouse;
}

FerrowinVirtualMouse::~FerrowinVirtualMouse() {
  if (!device_) return;  // creation failed: there was never a device
  log()->info(cancelled_ ? "FerrowinVirtualMouse deallocated"
                         : "FerrowinVirtualMouse deallocated without cancel");
  device_.reset();  // destroys a device that was never cancelled, while `this` is still whole
}

void FerrowinVirtualMouse::activate() {
  isActivated_ = true;
  log()->info("IOHIDUserDevice mouse activated");
}

Expected<void, VirtualHIDDeviceError> FerrowinVirtualMouse::send(int dx, int dy, bool left,
                                                                 bool right, bool middle,
                                                                 int wheel) {
  for (const auto& report : mouseReports(dx, dy, left, right, middle, wheel)) {
    if (auto sent = device_->sendInputReport(report); !sent) {
      return make_unexpected(VirtualHIDDeviceError::handleReportFailed(sent.error().code));
    }
  }
  return {};
}

void FerrowinVirtualMouse::cancel() {
  if (cancelled_.exchange(true)) return;
  log()->info("IOHIDUserDevice mouse cancelling");
  device_->cancel();
  isActivated_ = false;
  log()->info("IOHIDUserDevice mouse cancel complete");
}

}  // namespace ferrowin::inputhelper
