#pragma once
// What the virtual gamepad looks like to the OS: its report descriptor and identity per profile.

#include <cstdint>
#include <span>
#include <string>

#include "common/device_profile.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

/// 90 bytes: one 9-byte input report without report id, laid out like VirtualGamepadInputReport.
std::span<const uint8_t> genericReportDescriptor();
/// 364 bytes: the Xbox Wireless Controller's reports 1-4 plus the vendor reports 7, 32 and 9
/// that carry GIP frames.
std::span<const uint8_t> xboxReportDescriptor();

platform::VirtualHIDProperties gamepadProperties(common::DeviceProfile profile);

/// "com.zavel.ferrowin.virtual-hid." followed by the profile's text.
std::string gamepadQueueLabel(common::DeviceProfile profile);

}  // namespace ferrowin::inputhelper
