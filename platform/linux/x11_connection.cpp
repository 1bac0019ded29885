#include "platform/linux/x11_connection.h"

#include <xcb/xtest.h>

#include <cstdlib>

namespace ferrowin::platform::x11 {

std::unique_ptr<X11Connection> X11Connection::open(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* connection =
      xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  // Fetch the extension data now so hasExtension() needs no round trip later.
  xcb_prefetch_extension_data(connection, &xcb_test_id);
  return std::unique_ptr<X11Connection>(new X11Connection(connection, screens.data->root));
}

X11Connection::~X11Connection() { xcb_disconnect(connection_); }

bool X11Connection::broken() const { return xcb_connection_has_error(connection_) != 0; }

bool X11Connection::hasExtension(xcb_extension_t* extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present;
}

xcb_atom_t X11Connection::atom(const std::string& name) {
  if (auto it = atoms_.find(name); it != atoms_.end()) return it->second;
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection_,
      xcb_intern_atom(connection_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  const xcb_atom_t atom = reply->atom;
  std::free(reply);
  atoms_.emplace(name, atom);
  return atom;
}

uint8_t X11Connection::drainEvents(const std::function<void(const xcb_generic_event_t&)>& other) {
  uint8_t firstError = 0;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == 0) {
      if (firstError == 0) firstError = reinterpret_cast<xcb_generic_error_t*>(event)->error_code;
    } else if (type == XCB_MAPPING_NOTIFY) {
      const auto* notify = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
      if (notify->request == XCB_MAPPING_KEYBOARD) keymapChanged_ = true;
    } else if (other) {
      other(*event);
    }
    std::free(event);
  }
  return firstError;
}

bool X11Connection::takeKeymapChanged() {
  drainEvents();
  const bool changed = keymapChanged_;
  keymapChanged_ = false;
  return changed;
}

ScopedErrorTrap::ScopedErrorTrap(X11Connection& connection) : connection_(connection) {
  (void)connection_.drainEvents();
}

uint8_t ScopedErrorTrap::check() {
  // Any request with a reply makes a round trip: once it is back, every error of the requests
  // before it is in the event queue.
  std::free(xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()),
                                      nullptr));
  if (connection_.broken()) return XCB_CONN_ERROR;
  return connection_.drainEvents();
}

X11Connection* XTestDisplay::connection() {
  if (connection_ && !connection_->broken()) return connection_.get();
  connection_ = X11Connection::open(display_);
  if (connection_ && !connection_->hasExtension(&xcb_test_id)) connection_.reset();
  if (connection_) ++generation_;
  return connection_.get();
}

std::optional<X11Keymap> X11Keymap::fetch(X11Connection& connection) {
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  const auto count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
      connection.get(), xcb_get_keyboard_mapping(connection.get(), setup->min_keycode, count),
      nullptr);
  if (reply == nullptr) return std::nullopt;
  X11Keymap keymap;
  keymap.minKeycode = setup->min_keycode;
  keymap.perKeycode = reply->keysyms_per_keycode;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
  keymap.keysyms.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
  std::free(reply);
  return keymap;
}

uint32_t X11Keymap::at(uint8_t keycode, int column) const {
  if (keycode < minKeycode || column < 0 || column >= perKeycode) return 0;
  const size_t index = static_cast<size_t>(keycode - minKeycode) * perKeycode + column;
  return index < keysyms.size() ? keysyms[index] : 0;
}

void fakeInput(X11Connection& connection, uint8_t type, uint8_t detail, int16_t x, int16_t y) {
  xcb_test_fake_input(connection.get(), type, detail, XCB_CURRENT_TIME, connection.root(), x, y, 0);
}

}  // namespace ferrowin::platform::x11
