#pragma once
// The program's concrete devices and injectors behind the session's interfaces: the UHID gamepad
// and mouse, the XTest pointer and keyboard. Built with whichever of those libraries exist; a
// missing one behaves like a machine without that facility.

#include <memory>

#include "common/pointer_geometry.h"
#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper {

std::shared_ptr<VirtualGamepadFactory> makeGamepadFactory();
std::shared_ptr<MouseInput> makeMouseInput(common::CapturePointerGeometryStore& geometry);
std::shared_ptr<KeyboardInput> makeKeyboardInput();
/// The display is reachable and has XTEST.
bool accessibilityTrusted();

}  // namespace ferrowin::inputhelper
