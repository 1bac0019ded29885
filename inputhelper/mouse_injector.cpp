#include "inputhelper/mouse_injector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>

#include "common/util/log.h"
#include "inputhelper/gamepad_applier.h"

namespace ferrowin::inputhelper {

namespace {

using platform::PointerButton;
using platform::PointerEventType;

auto log() { return common::serverLog("mouse"); }

// A press that moves farther than this is a drag; a click within this of the last one may count
// as a double click.
constexpr double kDragDistance = 8.0;
constexpr double kClickDistance = 6.0;
constexpr double kDiagnosticInterval = 1.0;

double distance(platform::InjectionPoint a, platform::InjectionPoint b) {
  return std::hypot(a.x - b.x, a.y - b.y);
}

const char* text(bool value) { return value ? "true" : "false"; }

}  // namespace

MouseInjector::MouseInjector(common::CapturePointerGeometryStore& geometryStore,
                             std::shared_ptr<platform::PointerInjector> pointer,
                             std::shared_ptr<platform::VirtualHIDBackend> hid,
                             const common::Clock& clock)
    : geometryStore_(geometryStore),
      pointer_(std::move(pointer)),
      hid_(std::move(hid)),
      clock_(clock) {}

MouseInjector::~MouseInjector() = default;

template <class F>
auto MouseInjector::runOnQueue(F work) {
  if (queue_.isCurrent()) return work();
  std::packaged_task<decltype(work())()> task(std::move(work));
  auto result = task.get_future();
  queue_.post([&task] { task(); });
  return result.get();
}

void MouseInjector::handle(const VirtualMousePacket& packet) {
  queue_.post([this, packet] { handleOnQueue(packet); });
}

void MouseInjector::postRelative(int16_t dx, int16_t dy) {
  if (dx == 0 && dy == 0) return;
  queue_.post([this, dx, dy] {
    // Motion that arrives after the teardown (the look thread's last round) must not bring the
    // device back, so there is no prepare here.
    if (!hidMouse_) return;
    if (auto sent = hidMouse_->send(dx, dy, hidLeftDown_, hidRightDown_, hidMiddleDown_, 0);
        !sent) {
      log()->error("HID mouse post failed: {}", sent.error().description());
    }
  });
}

Expected<void, DeviceError> MouseInjector::prepareHIDMouse() {
  return runOnQueue([this]() -> Expected<void, DeviceError> {
    if (auto prepared = prepareOnQueue(); !prepared) {
      return make_unexpected(DeviceError{prepared.error().description()});
    }
    return {};
  });
}

void MouseInjector::teardownHIDMouse() {
  runOnQueue([this] { teardownOnQueue(); });
}

void MouseInjector::releaseAll() {
  queue_.post([this] { releaseAllOnQueue(); });
}

void MouseInjector::drain() {
  runOnQueue([] {});
}

Expected<void, VirtualHIDDeviceError> MouseInjector::prepareOnQueue() {
  if (hidMouse_) return {};
  auto mouse = FerrowinVirtualMouse::create(*hid_);
  if (!mouse) return make_unexpected(mouse.error());
  hidMouse_ = std::move(*mouse);
  hidMouse_->activate();
  log()->info("Created virtual HID mouse for relative remap");
  return {};
}

void MouseInjector::teardownOnQueue() {
  if (!hidMouse_) return;
  if (auto sent = hidMouse_->send(0, 0, false, false, false, 0); !sent) {
    log()->error("HID mouse neutral on teardown failed: {}", sent.error().description());
  }
  hidMouse_->cancel();
  hidMouse_.reset();
}

void MouseInjector::handleOnQueue(const VirtualMousePacket& packet) {
  if (isStaleSequence(packet.sequence, lastSequence_, haveSequence_)) return;
  lastSequence_ = packet.sequence;
  haveSequence_ = true;

  const bool left = packet.flags & 0x01;
  const bool right = packet.flags & 0x02;
  const bool middle = packet.flags & 0x08;
  if (packet.flags & 0x04) {
    handleRelative(packet, left, right, middle);
  } else {
    handleAbsolute(packet, left, right, middle);
  }
}

void MouseInjector::handleRelative(const VirtualMousePacket& packet, bool left, bool right,
                                   bool middle) {
  auto prepared = prepareOnQueue();
  if (!prepared) {
    log()->error("HID mouse post failed: {}", prepared.error().description());
    return;
  }
  auto sent = hidMouse_->send(static_cast<int16_t>(packet.x), static_cast<int16_t>(packet.y), left,
                              right, middle, packet.wheel);
  if (!sent) {
    log()->error("HID mouse post failed: {}", sent.error().description());
    return;
  }
  hidLeftDown_ = left;
  hidRightDown_ = right;
  hidMiddleDown_ = middle;
}

void MouseInjector::handleAbsolute(const VirtualMousePacket& packet, bool left, bool right,
                                   bool middle) {
  if (!accessibilityTrusted()) {
    diagnostic("absolute drop: accessibility not trusted");
    return;
  }
  auto geometry = geometryStore_.read();
  if (!geometry || geometry->contentRect.width <= 0 || geometry->contentRect.height <= 0) {
    const double now = clock_.now();
    auto last = diagLastLog_.find("nogeom");
    if (last == diagLastLog_.end() || now - last->second >= kDiagnosticInterval) {
      diagLastLog_["nogeom"] = now;
      diagnostic("absolute drop: no capture geometry (seq=" + std::to_string(packet.sequence) +
                 " L=" + text(left) + " R=" + text(right) + " M=" + text(middle) +
                 " x=" + std::to_string(packet.x) + " y=" + std::to_string(packet.y) + ")");
    }
    return;
  }
  const auto& rect = geometry->contentRect;
  const double nx = std::clamp(packet.x / 65535.0, 0.0, 1.0);
  const double ny = std::clamp(packet.y / 65535.0, 0.0, 1.0);
  apply(Point{rect.x + rect.width * nx, rect.y + rect.height * ny}, left, right, middle);
}

bool MouseInjector::accessibilityTrusted() {
  if (pointer_->accessibilityTrusted()) return true;
  if (!accessibilityPrompted_) {
    // There is no prompt to show on X11; asking again covers a display that came up meanwhile.
    accessibilityPrompted_ = true;
    (void)pointer_->accessibilityTrusted();
    log()->error(
        "Touch mouse requires Accessibility permission (System Settings › Privacy & Security › "
        "Accessibility)");
  }
  return pointer_->accessibilityTrusted();
}

void MouseInjector::apply(Point point, bool left, bool right, bool middle) {
  if (!left && leftDown_) {
    leftUp(point);
    leftDown_ = false;
  } else if (left && !leftDown_) {
    leftDown(point);
    leftDown_ = true;
  } else if (left && leftDown_) {
    if (distance(point, downPoint_) > kDragDistance) draggedThisPress_ = true;
    pointer_->post(PointerEventType::leftDragged, point, PointerButton::left,
                   std::max<int64_t>(clickCount_, 1));
  }

  if (!right && rightDown_) {
    pointer_->post(PointerEventType::rightUp, point, PointerButton::right, 1);
    rightDown_ = false;
  } else if (right && !rightDown_) {
    pointer_->post(PointerEventType::rightDown, point, PointerButton::right, 1);
    rightDown_ = true;
  } else if (right && rightDown_ && !leftDown_) {
    pointer_->post(PointerEventType::rightDragged, point, PointerButton::right, 1);
  }

  if (!middle && middleDown_) {
    pointer_->post(PointerEventType::otherUp, point, PointerButton::middle, 1);
    middleDown_ = false;
  } else if (middle && !middleDown_) {
    pointer_->post(PointerEventType::otherDown, point, PointerButton::middle, 1);
    middleDown_ = true;
  } else if (middle && middleDown_ && !leftDown_ && !rightDown_) {
    pointer_->post(PointerEventType::otherDragged, point, PointerButton::middle, 1);
  }

  if (!leftDown_ && !rightDown_ && !middleDown_) {
    pointer_->post(PointerEventType::moved, point, PointerButton::left, 0);
  }
}

void MouseInjector::leftDown(Point point) {
  const double now = clock_.now();
  if (clickCount_ > 0 && now - lastClickUpTime_ <= kDoubleClickThreshold &&
      distance(point, lastClickPoint_) <= kClickDistance) {
    ++clickCount_;
  } else {
    clickCount_ = 1;
  }
  downPoint_ = point;
  draggedThisPress_ = false;
  pointer_->post(PointerEventType::leftDown, point, PointerButton::left, clickCount_);
}

void MouseInjector::leftUp(Point point) {
  if (distance(point, downPoint_) > kDragDistance) draggedThisPress_ = true;
  pointer_->post(PointerEventType::leftUp, point, PointerButton::left,
                 std::max<int64_t>(clickCount_, 1));
  if (draggedThisPress_) {
    // A drag never starts a double click.
    clickCount_ = 0;
    lastClickUpTime_ = 0;
  } else {
    lastClickUpTime_ = clock_.now();
    lastClickPoint_ = point;
  }
}

void MouseInjector::releaseAllOnQueue() {
  const Point cursor = pointer_->cursorPosition().value_or(Point{});
  if (leftDown_) {
    pointer_->post(PointerEventType::leftUp, cursor, PointerButton::left,
                   std::max<int64_t>(clickCount_, 1));
    leftDown_ = false;
    log()->info("Released left mouse button (session end)");
  }
  if (rightDown_) {
    pointer_->post(PointerEventType::rightUp, cursor, PointerButton::right, 1);
    rightDown_ = false;
    log()->info("Released right mouse button (session end)");
  }
  if (middleDown_) {
    pointer_->post(PointerEventType::otherUp, cursor, PointerButton::middle, 1);
    middleDown_ = false;
    log()->info("Released middle mouse button (session end)");
  }
  if (hidLeftDown_ || hidRightDown_ || hidMiddleDown_) {
    if (hidMouse_) {
      if (auto sent = hidMouse_->send(0, 0, false, false, false, 0); !sent) {
        log()->error("HID mouse post failed: {}", sent.error().description());
      }
    }
    hidLeftDown_ = hidRightDown_ = hidMiddleDown_ = false;
    log()->info("Released HID mouse buttons (session end)");
  }
}

void MouseInjector::diagnostic(const std::string& message) {
  common::logAndWriteStderr(*log(), spdlog::level::info, message, "mouse: " + message);
}

}  // namespace ferrowin::inputhelper
