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

}  // namespace

std::optional<std::string> processExecutable(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::string path(4096, '\0');
  const ssize_t length = readlink(link.c_str(), path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return std::nullopt;
  path.resize(static_cast<size_t>(length));
  return path;
}

std::optional<std::string> frontmostWindowExecutable(X11Connection& connection) {
  const xcb_atom_t pidAtom = connection.atom("_NET_WM_PID");
  for (xcb_window_t window : windowsFrontToBack(connection)) {
    if (!isVisible(connection, window) || !isNormal(connection, window)) continue;
    auto pid = property32(connection, window, pidAtom, XCB_ATOM_CARDINAL);
    if (!pid || pid->empty() || static_cast<pid_t>(pid->front()) == getpid()) continue;
    if (auto path = processExecutable(static_cast<pid_t>(pid->front()))) return path;
  }
  return std::nullopt;
}

}  // namespace ferrowin::platform::x11
