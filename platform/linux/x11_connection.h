#pragma once
// XCB plumbing shared by the X11 backends: an owned connection, a scoped trap for the errors of
// the requests a caller sends, and a lazily (re)made connection to a display with XTEST.

#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ferrowin::platform::x11 {

/// One XCB connection and its first screen; disconnects with the object.
class X11Connection {
 public:
  /// Connects to `display` ($DISPLAY when empty); nullptr when the display cannot be reached.
  static std::unique_ptr<X11Connection> open(const std::string& display);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  xcb_window_t root() const { return root_; }
  /// True once the connection has failed (server gone, protocol error); it stays failed.
  bool broken() const;
  bool hasExtension(xcb_extension_t* extension) const;
  /// The atom named `name`, interned once; XCB_ATOM_NONE when the server will not say.
  xcb_atom_t atom(const std::string& name);

  /// Handles every event queued on the connection: errors of unchecked requests (the first one's
  /// code is returned, 0 if none), the mapping changes every client is told about (remembered for
  /// takeKeymapChanged()), and the events the caller selected, which go to `other`.
  uint8_t drainEvents(const std::function<void(const xcb_generic_event_t&)>& other = {});
  /// True once after the keyboard mapping changed on the server.
  bool takeKeymapChanged();

 private:
  X11Connection(xcb_connection_t* connection, xcb_window_t root)
      : connection_(connection), root_(root) {}

  xcb_connection_t* connection_;
  xcb_window_t root_;
  std::map<std::string, xcb_atom_t> atoms_;
  bool keymapChanged_ = false;
};

/// Catches the errors of the requests sent while it is set: create it, send requests, check().
/// Errors of earlier requests are dropped when it is created.
class ScopedErrorTrap {
 public:
  explicit ScopedErrorTrap(X11Connection& connection);
  /// Waits until the server has handled every request sent so far; the first error's code, or 0.
  [[nodiscard]] uint8_t check();

 private:
  X11Connection& connection_;
};

/// A connection to a display that has XTEST, made when first needed and again whenever the last
/// one broke. This is what "trusted for input injection" means on X: no connection, no trust.
class XTestDisplay {
 public:
  explicit XTestDisplay(std::string display) : display_(std::move(display)) {}
  /// The live connection, connecting first if needed; nullptr when unreachable or without XTEST.
  X11Connection* connection();
  /// Counts the connections made, so callers can drop what belonged to an earlier one.
  uint64_t generation() const { return generation_; }

 private:
  std::string display_;
  std::unique_ptr<X11Connection> connection_;
  uint64_t generation_ = 0;
};

/// A copy of the server's keyboard mapping: `perKeycode` keysyms for each keycode from
/// `minKeycode` on, row by row.
struct X11Keymap {
  uint8_t minKeycode = 0;
  uint8_t perKeycode = 0;
  std::vector<uint32_t> keysyms;

  /// Fetches the whole mapping; empty when the server does not answer.
  static std::optional<X11Keymap> fetch(X11Connection& connection);
  /// The keysym in `column` of `keycode`; 0 (NoSymbol) outside the map.
  uint32_t at(uint8_t keycode, int column) const;
  int keycodeCount() const {
    return perKeycode == 0 ? 0 : static_cast<int>(keysyms.size() / perKeycode);
  }
};

/// Presses (or releases) a key or button, or moves the pointer, through XTEST.
void fakeInput(X11Connection& connection, uint8_t type, uint8_t detail, int16_t x = 0,
               int16_t y = 0);

}  // namespace ferrowin::platform::x11
