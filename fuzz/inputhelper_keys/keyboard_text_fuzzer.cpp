// The text of a client's text datagram, typed through the keyboard injector with modifiers held.
// Byte 0 picks the held modifier keys (bits 0-3) and whether the front-most program runs under
// Wine (bit 4); the rest is the text. Whatever the bytes, every key pressed is released again once
// the client goes away.
#include <cstdint>
#include <map>
#include <string>

#include "common/runtime/clock.h"
#include "common/util/log.h"
#include "inputhelper/keyboard_injector.h"
#include "inputhelper/keyboard_tables.h"
#include "platform/fake/recording_injectors.h"

using namespace ferrowin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static common::ManualClock clock;
  static auto keys = std::make_shared<platform::RecordingKeyInjector>();
  static inputhelper::KeyboardInjector injector(keys, &clock);
  static const bool quiet = [] {
    common::serverLog("keyboard")->set_level(spdlog::level::off);
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;

  keys->clear();
  keys->setFrontmostExecutable((data[0] & 0x10) != 0 ? "/usr/bin/wine64" : "/usr/bin/xterm");
  static constexpr uint16_t kModifiers[] = {56, 59, 58, 55};
  for (int bit = 0; bit < 4; ++bit) {
    if (data[0] & (1 << bit)) injector.handleKey({1, kModifiers[bit], 0});
  }
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  injector.typeText(0, text);
  injector.releaseAll();
  injector.flush();

  std::map<uint32_t, int> balance;
  for (const auto& key : keys->keys()) {
    balance[key.keysym] += key.down ? 1 : -1;
    if (balance[key.keysym] < 0 || balance[key.keysym] > 1) __builtin_trap();  // up before down
  }
  for (const auto& [keysym, held] : balance) {
    if (held != 0) __builtin_trap();  // left pressed
  }
  // At most ten events a character (an Alt code), plus the modifiers around them.
  const size_t characters = inputhelper::utf8Scalars(text).size();
  if (keys->keys().size() > 10 * characters + 16) __builtin_trap();
  return 0;
}
