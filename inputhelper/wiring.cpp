#include "inputhelper/wiring.h"

#include "platform/input_injection.h"
#include "platform/virtual_hid.h"
#if FERROWIN_HAVE_KEYS
#include "inputhelper/keyboard_injector.h"
#endif
#if FERROWIN_HAVE_HID
#include "inputhelper/gamepad_factory.h"
#include "inputhelper/mouse_injector.h"
#endif

namespace ferrowin::inputhelper {

namespace {

// What the program does on a machine without virtual HID support: every creation fails.
class NoVirtualGamepads final : public VirtualGamepadFactory {
 public:
  Expected<std::shared_ptr<VirtualGamepadDevice>, DeviceError> create(
      common::DeviceProfile) override {
    return make_unexpected(DeviceError{"virtual HID devices are not part of this build"});
  }
  void setXboxUSBReports(bool) override {}
};

class NoMouse final : public MouseInput {
 public:
  void handle(const VirtualMousePacket&) override {}
  void postRelative(int16_t, int16_t) override {}
  Expected<void, DeviceError> prepareHIDMouse() override {
    return make_unexpected(DeviceError{"virtual HID devices are not part of this build"});
  }
  void teardownHIDMouse() override {}
  void releaseAll() override {}
};

#if FERROWIN_HAVE_KEYS && FERROWIN_HAVE_X11_INPUT
class Keyboard final : public KeyboardInput {
 public:
  Keyboard() : injector_(std::shared_ptr<platform::KeyInjector>(platform::makeX11KeyInjector())) {}
  void handleKey(const VirtualKeyPacket& packet) override { injector_.handleKey(packet); }
  void typeText(uint32_t sequence, const std::string& text) override {
    injector_.typeText(sequence, text);
  }
  void releaseAll() override { injector_.releaseAll(); }

 private:
  KeyboardInjector injector_;
};
#else
class Keyboard final : public KeyboardInput {
 public:
  void handleKey(const VirtualKeyPacket&) override {}
  void typeText(uint32_t, const std::string&) override {}
  void releaseAll() override {}
};
#endif

}  // namespace

#if FERROWIN_HAVE_HID && FERROWIN_HAVE_UHID
std::shared_ptr<VirtualGamepadFactory> makeGamepadFactory() {
  return makeVirtualGamepadFactory(platform::makeUhidBackend());
}
#else
std::shared_ptr<VirtualGamepadFactory> makeGamepadFactory() {
  return std::make_shared<NoVirtualGamepads>();
}
#endif

#if FERROWIN_HAVE_HID && FERROWIN_HAVE_UHID && FERROWIN_HAVE_X11_INPUT
std::shared_ptr<MouseInput> makeMouseInput(common::CapturePointerGeometryStore& geometry) {
  return std::make_shared<MouseInjector>(geometry, platform::makeX11PointerInjector(),
                                         platform::makeUhidBackend());
}
#else
std::shared_ptr<MouseInput> makeMouseInput(common::CapturePointerGeometryStore&) {
  return std::make_shared<NoMouse>();
}
#endif

std::shared_ptr<KeyboardInput> makeKeyboardInput() { return std::make_shared<Keyboard>(); }

bool accessibilityTrusted() {
#if FERROWIN_HAVE_X11_INPUT
  return platform::makeX11KeyInjector()->accessibilityTrusted();
#else
  return false;
#endif
}

}  // namespace ferrowin::inputhelper
