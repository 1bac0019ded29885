#include "platform/linux/x11_pointer_injector.h"

#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace ferrowin::platform {

std::unique_ptr<PointerInjector> makeX11PointerInjector() {
  return std::make_unique<x11::X11PointerInjector>(std::string());
}

}  // namespace ferrowin::platform

namespace ferrowin::platform::x11 {
namespace {

int16_t coordinate(double value) {
  constexpr double kMin = std::numeric_limits<int16_t>::min();
  constexpr double kMax = std::numeric_limits<int16_t>::max();
  if (std::isnan(value)) return 0;
  return static_cast<int16_t>(std::clamp(std::round(value), kMin, kMax));
}

// X button numbers: 1 left, 2 middle, 3 right.
uint8_t xButton(PointerButton button) {
  switch (button) {
    case PointerButton::left:
      return 1;
    case PointerButton::middle:
      return 2;
    case PointerButton::right:
      return 3;
  }
  return 1;
}

}  // namespace

bool X11PointerInjector::accessibilityTrusted() { return display_.connection() != nullptr; }

bool X11PointerInjector::post(PointerEventType type, InjectionPoint point, PointerButton button,
                              int64_t /*clickState*/) {
  X11Connection* connection = display_.connection();
  if (connection == nullptr) return false;
  uint8_t buttonType = 0;
  switch (type) {
    case PointerEventType::leftDown:
    case PointerEventType::rightDown:
    case PointerEventType::otherDown:
      buttonType = XCB_BUTTON_PRESS;
      break;
    case PointerEventType::leftUp:
    case PointerEventType::rightUp:
    case PointerEventType::otherUp:
      buttonType = XCB_BUTTON_RELEASE;
      break;
    default:
      break;  // moves and drags are motion; the held buttons make a drag a drag
  }
  if (type == PointerEventType::leftDown || type == PointerEventType::leftUp) {
    button = PointerButton::left;
  } else if (type == PointerEventType::rightDown || type == PointerEventType::rightUp) {
    button = PointerButton::right;
  }
  ScopedErrorTrap trap(*connection);
  // Every event happens at its point: move there first, then press or release.
  fakeInput(*connection, XCB_MOTION_NOTIFY, 0, coordinate(point.x), coordinate(point.y));
  if (buttonType != 0) fakeInput(*connection, buttonType, xButton(button));
  return trap.check() == 0;
}

std::optional<InjectionPoint> X11PointerInjector::cursorPosition() {
  X11Connection* connection = display_.connection();
  if (connection == nullptr) return std::nullopt;
  xcb_query_pointer_reply_t* reply = xcb_query_pointer_reply(
      connection->get(), xcb_query_pointer(connection->get(), connection->root()), nullptr);
  if (reply == nullptr) return std::nullopt;
  const InjectionPoint position{static_cast<double>(reply->root_x),
                                static_cast<double>(reply->root_y)};
  std::free(reply);
  return position;
}

}  // namespace ferrowin::platform::x11
