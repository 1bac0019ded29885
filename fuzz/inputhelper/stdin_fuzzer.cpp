// The host's standard-input stream: any bytes, split into lines and handled as the reader thread
// does. Whatever arrives, the state stays coherent: the geometry is either empty or what a line
// set, and the look tuning is within its clamped ranges.
#include <cstdint>
#include <string_view>

#include "common/util/log.h"
#include "inputhelper/stdin_handler.h"

using namespace ferrowin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    common::logger(common::kHelperSubsystem, "main")->set_level(spdlog::level::off);
    return true;
  }();
  (void)quiet;
  inputhelper::PeerAllowlist allowlist;
  common::CapturePointerGeometryStore geometry;
  inputhelper::SessionBox session;
  size_t stderrBytes = 0;
  inputhelper::StdinLineHandler handler(
      {allowlist, geometry, session, [](std::function<void()> work) { work(); },
       [&](std::string_view text) { stderrBytes += text.size(); }});
  inputhelper::LineSplitter splitter;
  // Feed in two pieces so lines split across reads are exercised too.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (auto piece : {bytes.substr(0, size / 2), bytes.substr(size / 2)}) {
    for (const auto& line : splitter.feed(piece)) handler.handle(line);
  }
  if (session.lookTuning) {
    const auto& t = *session.lookTuning;
    if (!(t.sensitivity >= 0.25 && t.sensitivity <= 4.0) ||
        !(t.acceleration >= 0 && t.acceleration <= 1) || !(t.deadzone >= 0 && t.deadzone <= 0.25) ||
        !(t.verticalScale >= 0.25 && t.verticalScale <= 2.0)) {
      __builtin_trap();
    }
  }
  return 0;
}
