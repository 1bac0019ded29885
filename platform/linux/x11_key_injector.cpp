#include "platform/linux/x11_key_injector.h"

#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/linux/x11_windows.h"

namespace ferrowin::platform {

std::unique_ptr<KeyInjector> makeX11KeyInjector() {
  return std::make_unique<x11::X11KeyInjector>(std::string());
}

}  // namespace ferrowin::platform

namespace ferrowin::platform::x11 {

X11KeyInjector::~X11KeyInjector() {
  if (pressed_.empty() && remapped_.empty()) return;
  X11Connection* connection = ready();
  if (connection == nullptr) return;
  // Let go of what is still down, so no key stays stuck on a keycode about to lose its keysym.
  for (auto& [keysym, keycode] : pressed_) fakeInput(*connection, XCB_KEY_RELEASE, keycode);
  pressed_.clear();
  restoreKeymap();
}

bool X11KeyInjector::accessibilityTrusted() { return display_.connection() != nullptr; }

X11Connection* X11KeyInjector::ready() {
  X11Connection* connection = display_.connection();
  if (connection == nullptr) return nullptr;
  if (display_.generation() != generation_) {
    // A new connection (perhaps a new server): nothing of the old one's state holds.
    generation_ = display_.generation();
    remapped_.clear();
    pressed_.clear();
    spares_.clear();
    if (!loadKeymap(*connection)) return nullptr;
  } else if (connection->takeKeymapChanged()) {
    if (!loadKeymap(*connection)) return nullptr;
  }
  return connection;
}

bool X11KeyInjector::loadKeymap(X11Connection& connection) {
  auto keymap = X11Keymap::fetch(connection);
  if (!keymap) return false;
  keymap_ = std::move(*keymap);
  // Changes announced so far are in this copy already.
  (void)connection.takeKeymapChanged();

  // Spare: no keysym in any column, or carrying what we put there. Those we knew keep their
  // least-recently-used order; new ones, never used, go first, high keycodes first.
  auto isSpare = [&](uint8_t keycode) {
    if (auto ours = remapped_.find(keycode); ours != remapped_.end()) {
      if (keymap_.at(keycode, 0) == ours->second) return true;
      remapped_.erase(ours);  // another client has put its own keysyms there
    }
    for (int column = 0; column < keymap_.perKeycode; ++column) {
      if (keymap_.at(keycode, column) != 0) return false;
    }
    return true;
  };
  std::vector<uint8_t> spares;
  for (int i = keymap_.keycodeCount() - 1; i >= 0; --i) {
    const auto keycode = static_cast<uint8_t>(keymap_.minKeycode + i);
    if (std::find(spares_.begin(), spares_.end(), keycode) == spares_.end() && isSpare(keycode)) {
      spares.push_back(keycode);
    }
  }
  for (uint8_t keycode : spares_) {
    if (isSpare(keycode)) spares.push_back(keycode);
  }
  spares_ = std::move(spares);
  return true;
}

std::optional<uint8_t> X11KeyInjector::keycodeFor(uint32_t keysym) const {
  for (int row = 0; row < keymap_.keycodeCount(); ++row) {
    const auto keycode = static_cast<uint8_t>(keymap_.minKeycode + row);
    if (keymap_.at(keycode, 0) == keysym) return keycode;
  }
  return std::nullopt;
}

bool X11KeyInjector::isPressed(uint8_t keycode) const {
  return std::any_of(pressed_.begin(), pressed_.end(),
                     [&](const auto& entry) { return entry.second == keycode; });
}

std::optional<uint8_t> X11KeyInjector::remap(X11Connection& connection, uint32_t keysym) {
  for (auto it = spares_.begin(); it != spares_.end(); ++it) {
    const uint8_t keycode = *it;
    if (isPressed(keycode)) continue;
    if (!setKeysym(connection, keycode, keysym)) return std::nullopt;
    spares_.erase(it);
    spares_.push_back(keycode);  // now the most recently used
    return keycode;
  }
  return std::nullopt;  // no spare keycode, or all of them held down
}

bool X11KeyInjector::setKeysym(X11Connection& connection, uint8_t keycode, uint32_t keysym) {
  // The keysym in every column: it types the same character whatever modifiers are down.
  std::vector<xcb_keysym_t> row(keymap_.perKeycode, keysym);
  ScopedErrorTrap trap(connection);
  xcb_change_keyboard_mapping(connection.get(), 1, keycode, keymap_.perKeycode, row.data());
  if (trap.check() != 0) return false;
  std::copy(row.begin(), row.end(),
            keymap_.keysyms.begin() +
                static_cast<ptrdiff_t>(keycode - keymap_.minKeycode) * keymap_.perKeycode);
  if (keysym == 0) {
    remapped_.erase(keycode);
  } else {
    remapped_[keycode] = keysym;
  }
  (void)connection.takeKeymapChanged();  // our own change; the copy is already current
  return true;
}

bool X11KeyInjector::key(uint32_t keysym, bool down) {
  X11Connection* connection = ready();
  if (connection == nullptr) return false;
  std::optional<uint8_t> keycode;
  if (auto it = pressed_.find(keysym); it != pressed_.end()) {
    keycode = it->second;
  } else {
    keycode = keycodeFor(keysym);
    if (!keycode && down) keycode = remap(*connection, keysym);
  }
  if (!keycode) return false;
  ScopedErrorTrap trap(*connection);
  fakeInput(*connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, *keycode);
  if (trap.check() != 0) return false;
  if (down) {
    pressed_[keysym] = *keycode;
  } else {
    pressed_.erase(keysym);
  }
  return true;
}

void X11KeyInjector::restoreKeymap() {
  X11Connection* connection = ready();
  if (connection == nullptr) return;
  const std::map<uint8_t, uint32_t> remapped = remapped_;
  for (auto& [keycode, keysym] : remapped) {
    if (!isPressed(keycode)) (void)setKeysym(*connection, keycode, 0);
  }
}

std::optional<std::string> X11KeyInjector::frontmostExecutable() {
  X11Connection* connection = display_.connection();
  if (connection == nullptr) return std::nullopt;
  return frontmostWindowExecutable(*connection);
}

}  // namespace ferrowin::platform::x11
