// Cursor metadata blocks as a PipeWire producer (another process) writes them.
#include <cstdint>

#include "platform/linux/pipewire_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferrowin::platform::pipewire;
  CursorState state;
  applyCursorMeta(data, size, state);
  // A bitmap taken always holds width × height pixels within the limit.
  if (state.argb.size() != size_t(state.width) * size_t(state.height) ||
      state.width > kMaxCursorSide || state.height > kMaxCursorSide) {
    __builtin_trap();
  }
  return 0;
}
