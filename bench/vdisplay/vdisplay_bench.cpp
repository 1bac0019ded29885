// What a client waits for before its own display streams, without the waits: a 2532 × 1170
// monitor created on a spare output, placed right of the real display and removed again, on a
// private Xorg with the dummy driver. The baseline is the xrandr command line doing the same
// (new mode, add it, switch the output on with the screen grown, off, delete and remove the mode)
// against the same server in the same run: the floor of doing this through RandR at all, one
// process per step included.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/x11_virtual_display.h"
#include "server/capture/virtual_display.h"
#include "tests/support/dummy_xorg.h"

namespace {

using namespace ferrowin;

testing::DummyXorg& xorg() {
  static testing::DummyXorg server;
  return server;
}

bool ready(benchmark::State& state) {
  if (!xorg().name().empty()) return true;
  state.SkipWithError(("Xorg with the dummy driver: " + xorg().error()).c_str());
  return false;
}

void BM_CreatePlaceRemove(benchmark::State& state) {
  if (!ready(state)) return;
  auto backend = platform::makeX11VirtualDisplayBackend(xorg().name());
  for (auto _ : state) {
    auto display =
        capture::VirtualDisplay::create(*backend, "Ferrowin Virtual", 2532, 1170, 4, 60, 110);
    if (!display) {
      state.SkipWithError(display.error().description().c_str());
      return;
    }
    const uint32_t id = (*display)->displayID();
    if (!capture::placeVirtualDisplay(*backend, id, capture::VirtualDisplayChoice::extended,
                                      backend->liveDisplays(), 2532)) {
      state.SkipWithError("placement failed");
      return;
    }
    display->reset();
  }
}
BENCHMARK(BM_CreatePlaceRemove)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_XrandrCommandLine(benchmark::State& state) {
  if (!ready(state)) return;
  const std::string x = "DISPLAY=" + xorg().name() + " xrandr ";
  const std::string script =
      x + "--newmode bench 198.5 2532 2580 2612 2692 1170 1173 1183 1229 +hsync -vsync && " + x +
      "--addmode DUMMY1 bench && " + x + "--fb 3812x1170 --output DUMMY1 --mode bench --pos " +
      "1280x0 && " + x + "--output DUMMY1 --off --fb 1280x720 && " + x +
      "--delmode DUMMY1 bench && " + x + "--rmmode bench";
  for (auto _ : state) {
    if (std::system(script.c_str()) != 0) {
      state.SkipWithError("xrandr failed");
      return;
    }
  }
}
BENCHMARK(BM_XrandrCommandLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
