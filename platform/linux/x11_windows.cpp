#include "platform/linux/x11_windows.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace ferrowin::platform::x11 {
namespace {

// The 32-bit items of a property, or empty when the window does not have it with that type.
std::optional<std::vector<uint32_t>> property32(X11Connection& connection, xcb_window_t window,
                                                xcb_atom_t name, xcb_atom_t type) {
  if (name == XCB_ATOM_NONE) return std::nullopt;
  constexpr uint32_t kMaxItems = 65536;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection.get(), xcb_get_property(connection.get(), 0, window, name, type, 0, kMaxItems),
      nullptr);
  if (reply == nullptr) return std::nullopt;
  std::optional<std::vector<uint32_t>> items;
  if (reply->type == type && reply->format == 32) {
    const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
    items.emplace(data, data + xcb_get_property_value_length(reply) / 4);
  }
  std::free(reply);
  return items;
}

std::vector<xcb_window_t> windowsFrontToBack(X11Connection& connection) {
  std::vector<xcb_window_t> windows;
  if (auto stacking = property32(connection, connection.root(),
                                 connection.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW)) {
    windows.assign(stacking->begin(), stacking->end());
  } else if (xcb_query_tree_reply_t* tree = xcb_query_tree_reply(
                 connection.get(), xcb_query_tree(connection.get(), connection.root()), nullptr)) {
    const xcb_window_t* children = xcb_query_tree_children(tree);
    windows.assign(children, children + xcb_query_tree_children_length(tree));
    std::free(tree);
  }
  std::reverse(windows.begin(), windows.end());  // both lists run bottom to top
  return windows;
}

bool isVisible(X11Connection& connection, xcb_window_t window) {
  xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
      connection.get(), xcb_get_window_attributes(connection.get(), window), nullptr);
  if (attributes == nullptr) return false;
  // Override-redirect windows are menus, tooltips and the like, never an application's window.
  const bool visible =
      attributes->map_state == XCB_MAP_STATE_VIEWABLE && !attributes->override_redirect;
  std::free(attributes);
  return visible;
}

// Docks, panels, desktops, notifications and the like sit above or below the applications; a
// window that does not say what it is counts as normal.
bool isNormal(X11Connection& connection, xcb_window_t window) {
  auto types =
      property32(connection, window, connection.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM);
  if (!types || types->empty()) return true;
  return types->front() == connection.atom("_NET_WM_WINDOW_TYPE_NORMAL") ||
         types->front() == connection.atom("_NET_WM_WINDOW_TYPE_DIALOG");
}

// WM_CLASS holds two NUL-terminated strings: the instance name, then the class name.
void readWindowClass(X11Connection& connection, xcb_window_t window, FrontmostWindow& front) {
  xcb_get_property_reply_t* reply = xcb_get_property_reply(
      connection.get(),
      xcb_get_property(connection.get(), 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
      nullptr);
  if (reply == nullptr) return;
  if (reply->type == XCB_ATOM_STRING && reply->format == 8) {
    const char* data = static_cast<const char*>(xcb_get_property_value(reply));
    const std::string value(data, static_cast<size_t>(xcb_get_property_value_length(reply)));
    const size_t split = value.find('\0');
    front.instanceName = value.substr(0, split);
    if (split != std::string::npos) {
      const size_t end = value.find('\0', split + 1);
      front.className = value.substr(split + 1, end == std::string::npos ? end : end - split - 1);
    }
  }
  std::free(reply);
}

}  // namespace

std::optional<std::string> processExecutable(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string path(4096, '\0');
  const ssize_t length = readlink(link.c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return std::nullopt;
  path.resize(static_cast<size_t>(length));
  return path;
}

std::optional<FrontmostWindow> frontmostWindow(X11Connection& connection) {
  const xcb_atom_t pidAtom = connection.atom("_NET_WM_PID");
  for (xcb_window_t window : windowsFrontToBack(connection)) {
    if (!isVisible(connection, window) || !isNormal(connection, window)) continue;
    auto pid = property32(connection, window, pidAtom, XCB_ATOM_CARDINAL);
    if (!pid || pid->empty() || static_cast<pid_t>(pid->front()) == getpid()) continue;
    auto path = processExecutable(static_cast<pid_t>(pid->front()));
    if (!path) continue;
    FrontmostWindow front{std::move(*path), {}, {}};
    readWindowClass(connection, window, front);
    return front;
  }
  return std::nullopt;
}

std::optional<std::string> frontmostWindowExecutable(X11Connection& connection) {
  auto front = frontmostWindow(connection);
  if (!front) return std::nullopt;
  return std::move(front->executable);
}

}  // namespace ferrowin::platform::x11
