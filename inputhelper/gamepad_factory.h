#pragma once
// The session's virtual gamepads, made on a virtual HID backend.

#include <memory>

#include "inputhelper/session_devices.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

/// create() makes, activates and primes a FerrowinVirtualGamepad: the neutral report, and for the
/// Xbox profile the battery report.
std::shared_ptr<VirtualGamepadFactory> makeVirtualGamepadFactory(
    std::shared_ptr<platform::VirtualHIDBackend> backend);

}  // namespace ferrowin::inputhelper
