#include "platform/linux/x11_test_client.h"

#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>

#include "platform/linux/x11_connection.h"

namespace ferrowin::platform::x11 {

struct X11TestClient::Impl {
  std::unique_ptr<X11Connection> connection;
  xcb_window_t window = 0;
  X11Keymap keymap;
  std::vector<TestKeyEvent> keys;
  std::vector<TestButtonEvent> buttons;
  bool mapped = false;

  void loadKeymap() {
    if (auto fetched = X11Keymap::fetch(*connection)) keymap = std::move(*fetched);
  }

  // The core protocol's rule for the first group: Shift picks the second keysym; a lone
  // lowercase letter stands for both cases.
  uint32_t translate(uint8_t keycode, uint16_t state) const {
    const uint32_t base = keymap.at(keycode, 0);
    if ((state & XCB_MOD_MASK_SHIFT) == 0) return base;
    const uint32_t shifted = keymap.at(keycode, 1);
    if (shifted != 0) return shifted;
    if (base >= 'a' && base <= 'z') return base - 'a' + 'A';
    return base;
  }

  void handle(xcb_generic_event_t* event) {
    switch (event->response_type & 0x7F) {
      case XCB_KEY_PRESS:
      case XCB_KEY_RELEASE: {
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        keys.push_back({(event->response_type & 0x7F) == XCB_KEY_PRESS, key->detail,
                        translate(key->detail, key->state), key->state});
        break;
      }
      case XCB_BUTTON_PRESS:
      case XCB_BUTTON_RELEASE: {
        auto* button = reinterpret_cast<xcb_button_press_event_t*>(event);
        buttons.push_back({(event->response_type & 0x7F) == XCB_BUTTON_PRESS, button->detail,
                           button->root_x, button->root_y});
        break;
      }
      case XCB_MAP_NOTIFY:
        mapped = true;
        break;
      case XCB_MAPPING_NOTIFY:
        if (reinterpret_cast<xcb_mapping_notify_event_t*>(event)->request == XCB_MAPPING_KEYBOARD) {
          loadKeymap();
        }
        break;
      default:
        break;
    }
  }
};

X11TestClient::X11TestClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11TestClient::~X11TestClient() = default;

std::unique_ptr<X11TestClient> X11TestClient::open(const std::string& display) {
  auto impl = std::make_unique<Impl>();
  impl->connection = X11Connection::open(display);
  if (!impl->connection) return nullptr;
  xcb_connection_t* c = impl->connection->get();
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  impl->window = xcb_generate_id(c);
  const uint32_t events = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                          XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                          XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, impl->window, screen->root, 0, 0,
                    screen->width_in_pixels, screen->height_in_pixels, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, &events);
  xcb_map_window(c, impl->window);
  xcb_flush(c);
  impl->loadKeymap();
  auto client = std::unique_ptr<X11TestClient>(new X11TestClient(std::move(impl)));
  // Focus can only go to a viewable window: wait for the map first.
  client->pump(5.0, [&] { return client->impl_->mapped; });
  xcb_generic_error_t* error =
      xcb_request_check(c, xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_POINTER_ROOT,
                                                       client->impl_->window, XCB_CURRENT_TIME));
  if (error != nullptr) {
    std::free(error);
    return nullptr;
  }
  return client;
}

void X11TestClient::pump(double seconds, const std::function<bool()>& done) {
  xcb_connection_t* c = impl_->connection->get();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      impl_->handle(event);
      std::free(event);
    }
    if (done()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || impl_->connection->broken()) return;
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()));
  }
}

std::vector<TestKeyEvent> X11TestClient::waitForKeys(size_t count, double seconds) {
  pump(seconds, [&] { return impl_->keys.size() >= count; });
  return impl_->keys;
}

std::vector<TestButtonEvent> X11TestClient::waitForButtons(size_t count, double seconds) {
  pump(seconds, [&] { return impl_->buttons.size() >= count; });
  return impl_->buttons;
}

void X11TestClient::clearEvents() {
  impl_->keys.clear();
  impl_->buttons.clear();
}

std::pair<int, int> X11TestClient::pointer() {
  xcb_connection_t* c = impl_->connection->get();
  auto* reply =
      xcb_query_pointer_reply(c, xcb_query_pointer(c, impl_->connection->root()), nullptr);
  if (reply == nullptr) return {-1, -1};
  std::pair<int, int> position{reply->root_x, reply->root_y};
  std::free(reply);
  return position;
}

std::vector<uint32_t> X11TestClient::keymap() {
  impl_->loadKeymap();
  return impl_->keymap.keysyms;
}

std::vector<uint8_t> X11TestClient::keysDown() {
  xcb_connection_t* c = impl_->connection->get();
  auto* reply = xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr);
  std::vector<uint8_t> down;
  if (reply == nullptr) return down;
  for (int keycode = 0; keycode < 256; ++keycode) {
    if (reply->keys[keycode / 8] & (1 << (keycode % 8)))
      down.push_back(static_cast<uint8_t>(keycode));
  }
  std::free(reply);
  return down;
}

void X11TestClient::setPid(uint32_t pid) {
  xcb_connection_t* c = impl_->connection->get();
  // Checked, not trapped: a trap would swallow the key events queued for this client.
  std::free(
      xcb_request_check(c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, impl_->window,
                                                       impl_->connection->atom("_NET_WM_PID"),
                                                       XCB_ATOM_CARDINAL, 32, 1, &pid)));
}

void X11TestClient::setWindowClass(const std::string& instance, const std::string& className) {
  xcb_connection_t* c = impl_->connection->get();
  const std::string value = instance + '\0' + className + '\0';
  std::free(xcb_request_check(
      c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, impl_->window, XCB_ATOM_WM_CLASS,
                                     XCB_ATOM_STRING, 8, static_cast<uint32_t>(value.size()),
                                     value.data())));
}

}  // namespace ferrowin::platform::x11
