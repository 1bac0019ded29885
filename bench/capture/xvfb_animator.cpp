// A light animated X client for the end-to-end harness: a window covering the screen with 32
// colour bands that a white bar crosses every 120 frames — the motion of the host's synthetic
// pattern — drawn with server-side fills, so the "game" costs the machine little and the two
// sources differ only in how the picture is captured.
//
//   xvfb-animator WIDTHxHEIGHT [FPS]      (on $DISPLAY; runs until it is killed)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/linux/x11_paint_client.h"

int main(int argc, char** argv) {
  int width = 0, height = 0;
  const int fps = argc > 2 ? std::atoi(argv[2]) : 60;
  if (argc < 2 || std::sscanf(argv[1], "%dx%d", &width, &height) != 2 || width <= 0 ||
      height <= 0 || fps <= 0) {
    std::fprintf(stderr, "usage: xvfb-animator WIDTHxHEIGHT [FPS]\n");
    return 2;
  }
  const char* display = std::getenv("DISPLAY");
  auto painter = ferrowin::platform::x11::X11PaintClient::open(display ? display : "");
  if (!painter) {
    std::fprintf(stderr, "xvfb-animator: cannot open display %s\n", display ? display : "(unset)");
    return 1;
  }
  const uint32_t window = painter->show({0, 0, width, height, 0x203040, "animator", "", 0, ""});
  if (window == 0) return 1;

  constexpr int kBands = 32;
  const auto interval = std::chrono::nanoseconds(1'000'000'000 / fps);
  auto deadline = std::chrono::steady_clock::now();
  for (uint32_t frame = 0;; ++frame) {
    for (int band = 0; band < kBands; ++band) {
      const uint32_t shade = uint32_t(band) * 8;
      const int x = band * width / kBands;
      painter->fill(window, x, 0, (band + 1) * width / kBands - x, height,
                    shade << 16 | (255 - shade) << 8 | 0x60);
    }
    const int barWidth = width / 16;
    painter->fill(window, int(frame % 120) * width / 120, 0, barWidth, height, 0xFFFFFF);
    deadline += interval;
    std::this_thread::sleep_until(deadline);
  }
}
