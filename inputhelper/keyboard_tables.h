#pragma once
// The fixed tables of keyboard injection: the client's macOS virtual key codes and what they mean
// on an X server with a US layout, the modifier flags, the US keystroke table, the Alt codes that
// Windows programs understand, and the text helpers around them. Pure functions, no state.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowin::inputhelper {

/// Event flag masks of the four modifiers (the only flags an event ever carries).
inline constexpr uint64_t kShiftFlag = 0x20000;
inline constexpr uint64_t kControlFlag = 0x40000;
inline constexpr uint64_t kOptionFlag = 0x80000;
inline constexpr uint64_t kCommandFlag = 0x100000;

/// The key code of left Option, which the Alt-code path holds down.
inline constexpr uint16_t kOptionKeyCode = 58;
/// A key code that is no real key: text events for characters no US key types go there.
inline constexpr uint16_t kNoKeyCode = 255;

struct USKeystroke {
  uint16_t keyCode = 0;  // macOS virtual key code
  uint64_t flags = 0;    // 0, or kShiftFlag
  bool operator==(const USKeystroke&) const = default;
};

/// The flag a modifier key sets (0 for any other key).
uint64_t modifierFlag(uint16_t keyCode);
/// The left-hand key that stands for a single modifier flag.
uint16_t modifierKeyCode(uint64_t flag);
/// The OR of the flags of the modifier keys among `heldKeys`.
uint64_t heldModifierFlags(const std::set<uint16_t>& heldKeys);

/// The X keysym a macOS virtual key code produces on a US layout without modifiers; empty for
/// codes that are no key (fn, unused codes, 255).
std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode);
/// The X keysym that types `scalar`. Control characters with a key of their own (tab, newline,
/// carriage return, backspace, escape, delete) get that key, so the text means the same thing to
/// an X client as to the client's own keyboard.
uint32_t keysymForScalar(char32_t scalar);

/// The key that types `scalar` on a US keyboard (95 printable ASCII characters).
std::optional<USKeystroke> usKeystroke(char32_t scalar);
/// The four-digit Windows-1252 Alt code of `scalar` (U+00A0-U+00FF and eight more).
std::optional<std::string> altCode(char32_t scalar);
/// The keypad key code of a decimal digit character; empty for anything else.
std::optional<uint16_t> keypadKeyCode(char digit);

/// Whether an executable path belongs to a Windows compatibility layer (Wine and its relatives).
bool isCompatibilityLayerPath(std::string_view executablePath);

/// The Unicode scalars of UTF-8 text. Malformed sequences (which the server already refuses)
/// become U+FFFD, one per offending byte, so nothing is silently dropped.
std::vector<char32_t> utf8Scalars(std::string_view text);

}  // namespace ferrowin::inputhelper
