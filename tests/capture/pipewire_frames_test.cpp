// The cursor metadata blocks a PipeWire producer hands us, built here byte by byte as another
// process would write them. (Pixel layouts arrive from real producers in pipewire_capture_test.)

#include "platform/linux/pipewire_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace ferrowin::platform::pipewire {
namespace {

// SPA video format numbers, as the producer sends them.
constexpr uint32_t kBGRA = 12, kI420 = 2;

// A cursor block: spa_meta_cursor (7 words), then optionally spa_meta_bitmap (5 words) and its
// pixels.
std::vector<uint8_t> cursorBlock(uint32_t id, int x, int y, uint32_t bitmapOffset,
                                 std::vector<uint32_t> bitmap = {}, std::vector<uint32_t> pixels = {}) {
  std::vector<uint32_t> words = {id, 0, uint32_t(x), uint32_t(y), 2, 3, bitmapOffset};
  words.insert(words.end(), bitmap.begin(), bitmap.end());
  words.insert(words.end(), pixels.begin(), pixels.end());
  std::vector<uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

TEST(PipeWireFrames, CursorMetadataIsTakenOnlyWhenItHoldsTogether) {
  // A 2 × 1 BGRA bitmap: half-transparent white, then opaque red.
  const std::vector<uint32_t> bitmap = {kBGRA, 2, 1, 8, 20};
  const std::vector<uint32_t> pixels = {0x80FFFFFF, 0xFFFF0000};
  CursorState state;
  ASSERT_TRUE(applyCursorMeta(cursorBlock(1, 40, 50, 28, bitmap, pixels).data(),
                              cursorBlock(1, 40, 50, 28, bitmap, pixels).size(), state));
  EXPECT_TRUE(state.visible);
  EXPECT_EQ(state.x, 40);
  EXPECT_EQ(state.y, 50);
  EXPECT_EQ(state.hotX, 2);
  EXPECT_EQ(state.hotY, 3);
  ASSERT_EQ(state.width, 2);
  ASSERT_EQ(state.height, 1);
  EXPECT_EQ(state.argb[0], 0x80808080u);  // premultiplied
  EXPECT_EQ(state.argb[1], 0xFFFF0000u);

  // A move without a new bitmap keeps the picture; the same place again is no change.
  auto moved = cursorBlock(1, 41, 50, 0);
  EXPECT_TRUE(applyCursorMeta(moved.data(), moved.size(), state));
  EXPECT_EQ(state.x, 41);
  EXPECT_EQ(state.width, 2);
  EXPECT_FALSE(applyCursorMeta(moved.data(), moved.size(), state));

  // Blocks that say nothing new or do not hold together leave the state as it was.
  const CursorState before = state;
  const std::vector<std::vector<uint8_t>> ignored = {
      cursorBlock(0, 1, 1, 0),                                        // id 0: no news
      cursorBlock(1, 1, 1, 12),                                       // bitmap inside the cursor
      cursorBlock(1, 1, 1, 28, {kBGRA, 2, 1, 8, 20}, {0x1}),          // pixels cut short
      cursorBlock(1, 1, 1, 28, {kBGRA, 2, 1, 4, 20}, pixels),         // stride below the width
      cursorBlock(1, 1, 1, 28, {kI420, 2, 1, 8, 20}, pixels),         // not a 32-bit layout
      cursorBlock(1, 1, 1, 28, {kBGRA, 2, 1, 8, 0xFFFFFFF0}, pixels),  // offset past the end
      cursorBlock(1, 1, 1, 28, {kBGRA, 4096, 4096, 16384, 20}, pixels),  // larger than taken
      cursorBlock(1, 1, 1, 0xFFFFFFFF),
  };
  for (const auto& block : ignored) {
    EXPECT_FALSE(applyCursorMeta(block.data(), block.size(), state));
    EXPECT_EQ(state.x, before.x);
    EXPECT_EQ(state.argb, before.argb);
  }
  EXPECT_FALSE(applyCursorMeta(moved.data(), 10, state));  // shorter than the cursor block

  // A bitmap without pixels hides the pointer's picture.
  auto hidden = cursorBlock(1, 41, 50, 28, {kBGRA, 0, 0, 0, 0});
  EXPECT_TRUE(applyCursorMeta(hidden.data(), hidden.size(), state));
  EXPECT_TRUE(state.argb.empty());
}

}  // namespace
}  // namespace ferrowin::platform::pipewire
