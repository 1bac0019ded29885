#pragma once
// Which program owns the front-most window. X has no notion of a window's process: EWMH window
// managers keep the stacking order (_NET_CLIENT_LIST_STACKING) and clients name their process
// (_NET_WM_PID); /proc tells the executable behind a process id.

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/linux/x11_connection.h"

namespace ferrowin::platform::x11 {

struct FrontmostWindow {
  std::string executable;    // absolute path
  std::string instanceName;  // WM_CLASS instance, empty when the window has none
  std::string className;     // WM_CLASS class, empty when the window has none
};

/// The front-most visible, normal window of another process whose executable can be read, with
/// its class; empty when no window qualifies.
std::optional<FrontmostWindow> frontmostWindow(X11Connection& connection);

/// The executable of the front-most visible, normal window whose process is not this one and
/// whose executable can be read; empty when no window qualifies. Without a window manager the
/// root window's mapped children, in stacking order, stand in for the client list.
std::optional<std::string> frontmostWindowExecutable(X11Connection& connection);

/// The path of a process's executable (/proc/<pid>/exe); empty when it cannot be read.
std::optional<std::string> processExecutable(pid_t pid);

}  // namespace ferrowin::platform::x11
