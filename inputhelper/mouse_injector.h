#pragma once
// MouseInjector: the client's mouse packets as pointer input. Absolute packets ("touch mouse") are
// mapped into the captured screen area and posted as synthesized pointer events, with click
// counting and drags; relative packets and the look remapper's motion go to a virtual HID mouse.
//
// Every operation runs on the serial queue "com.zavel.ferrowin.mouse": handle(), postRelative()
// and releaseAll() only enqueue; prepareHIDMouse() and teardownHIDMouse() wait for their work.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/pointer_geometry.h"
#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "inputhelper/mouse_device.h"
#include "inputhelper/session_devices.h"
#include "platform/input_injection.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

class MouseInjector final : public MouseInput {
 public:
  /// Clicks closer together than this (seconds) count as a double click. Linux has no
  /// system-wide setting for it outside the desktop environments, so this is the common default.
  static constexpr double kDoubleClickThreshold = 0.5;

  MouseInjector(common::CapturePointerGeometryStore& geometryStore,
                std::shared_ptr<platform::PointerInjector> pointer,
                std::shared_ptr<platform::VirtualHIDBackend> hid,
                const common::Clock& clock = common::SteadyClock::instance());
  ~MouseInjector() override;

  void handle(const VirtualMousePacket& packet) override;
  void postRelative(int16_t dx, int16_t dy) override;
  Expected<void, DeviceError> prepareHIDMouse() override;
  void teardownHIDMouse() override;
  void releaseAll() override;

  /// Waits until everything enqueued so far has run.
  void drain();

 private:
  using Point = platform::InjectionPoint;

  // Everything below runs on queue_.
  void handleOnQueue(const VirtualMousePacket& packet);
  void handleRelative(const VirtualMousePacket& packet, bool left, bool right, bool middle);
  void handleAbsolute(const VirtualMousePacket& packet, bool left, bool right, bool middle);
  Expected<void, VirtualHIDDeviceError> prepareOnQueue();
  void teardownOnQueue();
  void releaseAllOnQueue();
  bool accessibilityTrusted();
  void apply(Point point, bool left, bool right, bool middle);
  void leftDown(Point point);
  void leftUp(Point point);
  void diagnostic(const std::string& message);
  template <class F>
  auto runOnQueue(F work);

  common::CapturePointerGeometryStore& geometryStore_;
  std::shared_ptr<platform::PointerInjector> pointer_;
  std::shared_ptr<platform::VirtualHIDBackend> hid_;
  const common::Clock& clock_;
  bool leftDown_ = false;
  bool rightDown_ = false;
  bool middleDown_ = false;
  uint32_t lastSequence_ = 0;
  bool haveSequence_ = false;
  bool accessibilityPrompted_ = false;
  int64_t clickCount_ = 0;
  double lastClickUpTime_ = 0;
  Point lastClickPoint_;
  Point downPoint_;
  bool draggedThisPress_ = false;
  bool hidLeftDown_ = false;
  bool hidRightDown_ = false;
  bool hidMiddleDown_ = false;
  std::unique_ptr<FerrowinVirtualMouse> hidMouse_;
  std::map<std::string, double> diagLastLog_;
  // Last, so it stops before the state its work touches goes away.
  common::SerialQueue queue_{"com.zavel.ferrowin.mouse"};
};

}  // namespace ferrowin::inputhelper
