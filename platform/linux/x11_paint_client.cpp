#include "platform/linux/x11_paint_client.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/linux/x11_connection.h"

namespace ferrowin::platform::x11 {

struct X11PaintClient::Impl {
  std::unique_ptr<X11Connection> connection;
  xcb_gcontext_t gc = 0;
};

X11PaintClient::X11PaintClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
X11PaintClient::~X11PaintClient() = default;

std::unique_ptr<X11PaintClient> X11PaintClient::open(const std::string& display) {
  auto impl = std::make_unique<Impl>();
  impl->connection = X11Connection::open(display);
  if (!impl->connection) return nullptr;
  xcb_connection_t* c = impl->connection->get();
  impl->gc = xcb_generate_id(c);
  xcb_create_gc(c, impl->gc, impl->connection->root(), 0, nullptr);
  return std::unique_ptr<X11PaintClient>(new X11PaintClient(std::move(impl)));
}

void X11PaintClient::sync() {
  std::free(xcb_get_input_focus_reply(impl_->connection->get(),
                                      xcb_get_input_focus(impl_->connection->get()), nullptr));
}

uint32_t X11PaintClient::show(const PaintWindow& wanted) {
  X11Connection& connection = *impl_->connection;
  xcb_connection_t* c = connection.get();
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {wanted.rgb, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, connection.root(), int16_t(wanted.x),
                    int16_t(wanted.y), uint16_t(wanted.width), uint16_t(wanted.height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  const auto setText = [&](xcb_atom_t property, xcb_atom_t type, const std::string& text) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                        uint32_t(text.size()), text.data());
  };
  if (!wanted.title.empty()) {
    setText(connection.atom("_NET_WM_NAME"), connection.atom("UTF8_STRING"), wanted.title);
  }
  if (!wanted.wmClass.empty()) {
    const std::string both = wanted.wmClass + '\0' + wanted.wmClass + '\0';
    setText(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, both);
  }
  if (wanted.pid != 0) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, connection.atom("_NET_WM_PID"),
                        XCB_ATOM_CARDINAL, 32, 1, &wanted.pid);
  }
  if (!wanted.windowType.empty()) {
    const xcb_atom_t type = connection.atom(wanted.windowType);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, connection.atom("_NET_WM_WINDOW_TYPE"),
                        XCB_ATOM_ATOM, 32, 1, &type);
  }
  xcb_map_window(c, window);
  xcb_flush(c);
  // The server paints the background when it exposes the window; wait for that.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    xcb_generic_event_t* event = xcb_poll_for_event(c);
    if (event == nullptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    const bool exposed = (event->response_type & 0x7F) == XCB_EXPOSE &&
                         reinterpret_cast<xcb_expose_event_t*>(event)->window == window;
    std::free(event);
    if (exposed) break;
  }
  sync();
  return window;
}

void X11PaintClient::fill(uint32_t window, int x, int y, int width, int height, uint32_t rgb) {
  xcb_connection_t* c = impl_->connection->get();
  xcb_change_gc(c, impl_->gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t rectangle{int16_t(x), int16_t(y), uint16_t(width), uint16_t(height)};
  xcb_poly_fill_rectangle(c, window, impl_->gc, 1, &rectangle);
  sync();
}

void X11PaintClient::resize(uint32_t window, int width, int height) {
  const uint32_t values[] = {uint32_t(width), uint32_t(height)};
  xcb_configure_window(impl_->connection->get(), window,
                       XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
  sync();
}

void X11PaintClient::destroy(uint32_t window) {
  xcb_destroy_window(impl_->connection->get(), window);
  sync();
}

}  // namespace ferrowin::platform::x11
