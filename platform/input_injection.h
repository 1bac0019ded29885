#pragma once
// Synthesized pointer and keyboard events (the helper's touch mouse and keyboard). On Linux: XTest
// on $DISPLAY. "Accessibility trusted" means the display is reachable and has XTEST.
//
// Contract: every call is made from one serial queue per injector (the mouse queue, the keyboard
// queue); implementations are safe to use from two such queues at once. Calls on an untrusted
// injector do nothing and return false.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ferrowin::platform {

/// A point in global display points (the coordinate space of the capture geometry).
struct InjectionPoint {
  double x = 0;
  double y = 0;
  bool operator==(const InjectionPoint&) const = default;
};

enum class PointerButton : uint8_t { left = 0, right = 1, middle = 2 };
enum class PointerEventType : uint8_t {
  moved,
  leftDown, leftUp, leftDragged,
  rightDown, rightUp, rightDragged,
  otherDown, otherUp, otherDragged,
};

class PointerInjector {
 public:
  virtual ~PointerInjector() = default;
  virtual bool accessibilityTrusted() = 0;
  /// Posts one event at `point`. `clickState` is the click count the event carries (X11
  /// applications count clicks themselves; a backend may ignore it).
  virtual bool post(PointerEventType type, InjectionPoint point, PointerButton button,
                    int64_t clickState) = 0;
  virtual std::optional<InjectionPoint> cursorPosition() = 0;
};

class KeyInjector {
 public:
  virtual ~KeyInjector() = default;
  virtual bool accessibilityTrusted() = 0;
  /// Presses or releases the key that produces `keysym` (an X keysym). A keysym with no keycode
  /// in the current map is typed through a temporarily remapped spare keycode.
  /// Only the keysym's unshifted key counts as producing it; modifiers are the caller's business
  /// (it presses and releases modifier keysyms itself). A release goes to the keycode the press
  /// used, even if the map changed in between.
  virtual bool key(uint32_t keysym, bool down) = 0;
  /// Gives every spare keycode remapped by key() its empty mapping back (keycodes still held stay
  /// until a later call). Clients read the map when they handle an event, so the caller waits a
  /// moment after its last typed key before calling this; destroying the injector restores too.
  virtual void restoreKeymap() = 0;
  /// The executable path of the front-most normal, visible window's process, skipping this
  /// process's own windows and processes whose executable cannot be read.
  virtual std::optional<std::string> frontmostExecutable() = 0;
};

/// XTest on $DISPLAY; nullptr-free: with no display the injectors report untrusted.
std::unique_ptr<PointerInjector> makeX11PointerInjector();
std::unique_ptr<KeyInjector> makeX11KeyInjector();

}  // namespace ferrowin::platform
