#pragma once
// KeyInjector on X: XTest key presses on the keycode whose unshifted keysym is the one asked for.
// Keysyms the keymap lacks get a spare keycode (one with no keysyms at all) remapped to them for
// the time being; spare keycodes are reused least recently used first, and restoreKeymap() or
// the destructor empties them again.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/input_injection.h"
#include "platform/linux/x11_connection.h"

namespace ferrowin::platform::x11 {

class X11KeyInjector final : public KeyInjector {
 public:
  /// `display` empty: $DISPLAY. Nothing connects before the first call.
  explicit X11KeyInjector(std::string display) : display_(std::move(display)) {}
  ~X11KeyInjector() override;

  bool accessibilityTrusted() override;
  bool key(uint32_t keysym, bool down) override;
  void restoreKeymap() override;
  std::optional<std::string> frontmostExecutable() override;

 private:
  /// The connection with an up-to-date copy of the keymap; nullptr when there is no display.
  X11Connection* ready();
  bool loadKeymap(X11Connection& connection);
  std::optional<uint8_t> keycodeFor(uint32_t keysym) const;
  std::optional<uint8_t> remap(X11Connection& connection, uint32_t keysym);
  bool setKeysym(X11Connection& connection, uint8_t keycode, uint32_t keysym);
  bool isPressed(uint8_t keycode) const;

  XTestDisplay display_;
  uint64_t generation_ = 0;  // of the connection the state below belongs to
  X11Keymap keymap_;
  std::vector<uint8_t> spares_;           // keycodes free for remapping, least recently used first
  std::map<uint8_t, uint32_t> remapped_;  // spare keycode → keysym it carries for us now
  std::map<uint32_t, uint8_t> pressed_;   // keysym → keycode it went down on
};

}  // namespace ferrowin::platform::x11
