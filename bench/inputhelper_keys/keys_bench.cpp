// How long a typed character takes from the injector's call until a window has read its key
// events, on a private Xvfb. The baseline taps the same key through the bare XTest injector on the
// calling thread; the injector adds its queue hop, the modifier bookkeeping and, for characters
// the keymap lacks, a keymap change that every client must reload.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "inputhelper/keyboard_injector.h"
#include "platform/input_injection.h"
#include "platform/linux/x11_test_client.h"
#include "tests/inputhelper/xvfb_display.h"

namespace {

using namespace ferrowin;

struct Display {
  Display() {
    if (xvfb.name().empty()) return;
    setenv("DISPLAY", xvfb.name().c_str(), 1);
    window = platform::x11::X11TestClient::open(xvfb.name());
    keys = std::shared_ptr<platform::KeyInjector>(platform::makeX11KeyInjector());
    keyboard = std::make_unique<inputhelper::KeyboardInjector>(keys);
  }
  testing::XvfbDisplay xvfb;
  std::unique_ptr<platform::x11::X11TestClient> window;
  std::shared_ptr<platform::KeyInjector> keys;
  std::unique_ptr<inputhelper::KeyboardInjector> keyboard;
  uint32_t sequence = 0;
};

Display* display(benchmark::State& state) {
  static Display instance;
  if (!instance.window) {
    state.SkipWithError("no Xvfb");
    return nullptr;
  }
  return &instance;
}

// Waits for the window to read `events` key events; false on a timeout.
bool delivered(Display& d, size_t events) {
  const bool ok = d.window->waitForKeys(events, 5.0).size() >= events;
  d.window->clearEvents();
  return ok;
}

// Baseline: the keysyms pressed in order and released in reverse through the bare XTest injector.
void BM_BareXTestKeys(benchmark::State& state, std::vector<uint32_t> keysyms) {
  Display* d = display(state);
  if (d == nullptr) return;
  for (auto _ : state) {
    for (uint32_t keysym : keysyms) d->keys->key(keysym, true);
    for (auto it = keysyms.rbegin(); it != keysyms.rend(); ++it) d->keys->key(*it, false);
    if (!delivered(*d, 2 * keysyms.size())) state.SkipWithError("events lost");
  }
}

void BM_Type(benchmark::State& state, std::string text, size_t events) {
  Display* d = display(state);
  if (d == nullptr) return;
  for (auto _ : state) {
    d->keyboard->typeText(++d->sequence, text);
    if (!delivered(*d, events)) state.SkipWithError("events lost");
  }
}

// Cycles through more characters than there are spare keycodes, so every one borrows a keycode.
void BM_TypeCharacterOffTheKeymap(benchmark::State& state) {
  Display* d = display(state);
  if (d == nullptr) return;
  char32_t scalar = U'\u0400';
  for (auto _ : state) {
    const std::string text = {static_cast<char>(0xC0 | (scalar >> 6)),
                              static_cast<char>(0x80 | (scalar & 0x3F))};
    scalar = scalar == U'\u043F' ? U'\u0400' : scalar + 1;
    d->keyboard->typeText(++d->sequence, text);
    if (!delivered(*d, 2)) state.SkipWithError("events lost");
  }
}

constexpr uint32_t kShiftL = 0xffe1;
BENCHMARK_CAPTURE(BM_BareXTestKeys, letter, std::vector<uint32_t>{'a'})->UseRealTime();
BENCHMARK_CAPTURE(BM_BareXTestKeys, shifted_letter, std::vector<uint32_t>{kShiftL, 'a'})
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Type, letter, std::string("a"), 2)->UseRealTime();
BENCHMARK_CAPTURE(BM_Type, shifted_letter, std::string("A"), 4)->UseRealTime();
BENCHMARK(BM_TypeCharacterOffTheKeymap)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
