#pragma once
// Turns keyboard events as the client means them — a macOS key code going down or up, the
// modifier flags the event carries, and for text the character it types — into presses and
// releases of X keys. On X an event cannot carry flags: the modifier keys themselves must be down.
// So before each event the poster presses the modifier keys its flags need and releases the ones
// they exclude, and settle() brings the modifiers back to what the client holds afterwards.
//
// Used only from the keyboard queue.

#include <cstdint>
#include <optional>
#include <set>

#include "platform/input_injection.h"

namespace ferrowin::inputhelper {

class KeyEventPoster {
 public:
  explicit KeyEventPoster(platform::KeyInjector& keys) : keys_(keys) {}

  /// Posts one key event. The key is the key code's own key when it has one; otherwise (key code
  /// 255) the key that types `scalar`. An event that has no key at all is skipped.
  void post(uint16_t keyCode, bool down, uint64_t flags, std::optional<char32_t> scalar = {});

  /// Presses and releases modifier keys until exactly the modifiers among `heldKeys` are down.
  void settle(const std::set<uint16_t>& heldKeys);

 private:
  void syncFlags(uint64_t flags, uint64_t except);
  void setModifierKey(uint16_t keyCode, bool down);

  platform::KeyInjector& keys_;
  std::set<uint16_t> modifiersDown_;  // modifier key codes this poster holds down on X
};

}  // namespace ferrowin::inputhelper
