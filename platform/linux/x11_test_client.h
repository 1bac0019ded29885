#pragma once
// A small X client for system tests: one window covering the screen, holding the input focus, that
// records the keys and buttons it receives. Keys are translated the way a core-protocol client
// does it, with the keymap as it is when the event is read. The header stays free of X headers so
// tests need none.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ferrowin::platform::x11 {

struct TestKeyEvent {
  bool press = false;
  uint8_t keycode = 0;
  uint32_t keysym = 0;  // after Shift, as a core client reads it
  uint16_t state = 0;   // modifier state: 1 Shift, 4 Control, 8 Mod1 (Alt), 64 Mod4 (Super)
};

struct TestButtonEvent {
  bool press = false;
  uint8_t button = 0;  // 1 left, 2 middle, 3 right
  int x = 0;
  int y = 0;
  bool operator==(const TestButtonEvent&) const = default;
};

class X11TestClient {
 public:
  /// Opens `display`, maps a screen-sized window and gives it the focus; nullptr on failure.
  static std::unique_ptr<X11TestClient> open(const std::string& display);
  ~X11TestClient();

  /// Waits up to `seconds` until at least `count` key events have arrived; returns all so far.
  std::vector<TestKeyEvent> waitForKeys(size_t count, double seconds);
  std::vector<TestButtonEvent> waitForButtons(size_t count, double seconds);
  /// Forgets the events received so far.
  void clearEvents();
  /// The pointer's position on the root window.
  std::pair<int, int> pointer();
  /// Every keysym of the current keymap, keycode by keycode.
  std::vector<uint32_t> keymap();
  /// The keycodes that are down right now (QueryKeymap).
  std::vector<uint8_t> keysDown();
  /// Names the window's process (_NET_WM_PID).
  void setPid(uint32_t pid);
  /// Sets WM_CLASS (instance and class names).
  void setWindowClass(const std::string& instance, const std::string& className);

 private:
  struct Impl;
  explicit X11TestClient(std::unique_ptr<Impl> impl);
  void pump(double seconds, const std::function<bool()>& done);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ferrowin::platform::x11
