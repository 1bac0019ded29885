#pragma once
// A small X client for capture system tests: it puts solid-coloured windows with a chosen title,
// class, process id and window type on the screen, and takes them away again. The header stays
// free of X headers so tests need none.

#include <cstdint>
#include <memory>
#include <string>

namespace ferrowin::platform::x11 {

struct PaintWindow {
  int x = 0, y = 0, width = 100, height = 100;
  uint32_t rgb = 0xFFFFFF;  // 0xRRGGBB
  std::string title;
  std::string wmClass;            // the application class ("" for none)
  uint32_t pid = 0;               // _NET_WM_PID (0 for none)
  std::string windowType;         // "_NET_WM_WINDOW_TYPE_DOCK" and so on ("" for none)
};

class X11PaintClient {
 public:
  static std::unique_ptr<X11PaintClient> open(const std::string& display);
  ~X11PaintClient();

  /// Maps the window and waits until the server has drawn it; returns its id (0 on failure).
  uint32_t show(const PaintWindow& window);
  /// Fills part of a window with a colour.
  void fill(uint32_t window, int x, int y, int width, int height, uint32_t rgb);
  /// Gives a window a new size; the new area shows its background colour.
  void resize(uint32_t window, int width, int height);
  void destroy(uint32_t window);
  /// Waits until the server has handled everything sent so far.
  void sync();

 private:
  struct Impl;
  explicit X11PaintClient(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ferrowin::platform::x11
