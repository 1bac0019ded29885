// Steam's KeyValues files (libraryfolders.vdf, appmanifest_*.acf) as read from disk: any bytes
// parse or fail cleanly, and a parsed tree is walked the way the catalog walks it.
#include <cstdint>
#include <string_view>

#include "server/library/vdf.h"

using namespace ferrowin::library;

namespace {

size_t walk(const VdfNode& node, size_t depth) {
  if (depth > kVdfMaxDepth) __builtin_trap();
  size_t count = 1;
  for (const auto& [key, child] : node.children) count += walk(child, depth + 1);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = parseVdf(text);
  if (!parsed) {
    (void)parsed.error().description();
    if (parsed.error().offset > size) __builtin_trap();
    return 0;
  }
  (void)walk(*parsed, 0);
  if (const VdfNode* state = parsed->child("AppState")) {
    (void)state->text("appid");
    (void)state->text("installdir");
  }
  return 0;
}
