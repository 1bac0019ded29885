#pragma once
// KeyboardInjector: the client's key and text datagrams as keyboard input on the X display.
//
// Key packets press and release the key of a macOS virtual key code; the injector keeps the set of
// keys held, so every event carries the modifiers held at that moment and everything can be let go
// when a client goes away or the session ends. Text packets are typed character by character: a
// character of a US keyboard on its own key (with Shift where needed), anything else through a
// key that types exactly that character. When the front-most window belongs to a Windows
// compatibility layer (Wine and its relatives), Windows-1252 characters are typed as Alt codes
// (Option + keypad digits), which is how Windows programs accept them.
//
// One injector per helper process. Every operation may be called from any thread; the work runs
// in submission order on the injector's own queue "com.zavel.ferrowin.keyboard", which alone
// touches its state. Destroying the injector waits for the work submitted before, so a last
// releaseAll() still happens.

#include <cstdint>
#include <memory>
#include <string>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "inputhelper/packets.h"
#include "platform/input_injection.h"

namespace ferrowin::inputhelper {

class KeyboardInjector {
 public:
  /// How long remapped keycodes keep their character after the last keyboard event, so that
  /// clients still translate the events already queued for them with the right map.
  static constexpr double kKeymapRestoreDelay = 1.0;

  /// `timers` schedules the keymap restore; by default timers on the injector's own queue.
  explicit KeyboardInjector(std::shared_ptr<platform::KeyInjector> keys,
                            common::TimerFactory* timers = nullptr);
  ~KeyboardInjector();
  KeyboardInjector(const KeyboardInjector&) = delete;
  KeyboardInjector& operator=(const KeyboardInjector&) = delete;

  /// One accepted key datagram (from the UDP server's queue).
  void handleKey(const VirtualKeyPacket& packet);
  /// One accepted text datagram; `text` is valid, non-empty UTF-8 of 1 to 256 bytes.
  void typeText(uint32_t sequence, std::string text);
  /// Releases every held key and resets the sequence filters (connection end, session stop).
  void releaseAll();
  /// Waits until the work submitted so far has run. Not from the keyboard queue.
  void flush();

 private:
  struct State;
  std::unique_ptr<common::SerialQueue> queue_;
  std::unique_ptr<common::TimerFactory> ownTimers_;
  std::shared_ptr<State> state_;
};

}  // namespace ferrowin::inputhelper
