#include "inputhelper/keyboard_events.h"

#include <vector>

#include "inputhelper/keyboard_tables.h"

namespace ferrowin::inputhelper {
namespace {

constexpr uint64_t kModifierFlags[] = {kShiftFlag, kControlFlag, kOptionFlag, kCommandFlag};

}  // namespace

void KeyEventPoster::post(uint16_t keyCode, bool down, uint64_t flags,
                          std::optional<char32_t> scalar) {
  std::optional<uint32_t> keysym = keysymForKeyCode(keyCode);
  if (!keysym && scalar) keysym = keysymForScalar(*scalar);
  if (!keysym) return;

  const uint64_t ownFlag = modifierFlag(keyCode);
  // A modifier key's own flag follows from the key itself; the others are made to match.
  syncFlags(flags, ownFlag);
  if (ownFlag != 0) {
    setModifierKey(keyCode, down);
  } else {
    keys_.key(*keysym, down);
  }
}

void KeyEventPoster::settle(const std::set<uint16_t>& heldKeys) {
  const std::vector<uint16_t> down(modifiersDown_.begin(), modifiersDown_.end());
  for (uint16_t key : down) {
    if (!heldKeys.contains(key)) setModifierKey(key, false);
  }
  for (uint16_t key : heldKeys) {
    if (modifierFlag(key) != 0) setModifierKey(key, true);
  }
}

void KeyEventPoster::syncFlags(uint64_t flags, uint64_t except) {
  for (uint64_t flag : kModifierFlags) {
    if (flag == except) continue;
    std::vector<uint16_t> holding;
    for (uint16_t key : modifiersDown_) {
      if (modifierFlag(key) == flag) holding.push_back(key);
    }
    const bool wanted = (flags & flag) != 0;
    if (wanted && holding.empty()) setModifierKey(modifierKeyCode(flag), true);
    if (!wanted) {
      for (uint16_t key : holding) setModifierKey(key, false);
    }
  }
}

void KeyEventPoster::setModifierKey(uint16_t keyCode, bool down) {
  if (modifiersDown_.contains(keyCode) == down) return;
  // Modifier key codes always have a keysym. A key the server did not take stays as it was, so
  // the next settle() tries again.
  if (!keys_.key(*keysymForKeyCode(keyCode), down)) return;
  if (down) {
    modifiersDown_.insert(keyCode);
  } else {
    modifiersDown_.erase(keyCode);
  }
}

}  // namespace ferrowin::inputhelper
