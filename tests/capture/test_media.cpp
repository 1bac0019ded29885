#include "tests/capture/test_media.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace ferrowin::testing {

CommandResult runShell(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  size_t count = 0;
  while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.output.append(buffer.data(), count);
  }
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool haveProgram(const std::string& name) {
  return runShell("command -v " + name + " >/dev/null").exitCode == 0;
}

platform::BgraFrame solidFrame(int width, int height, uint8_t blue, uint8_t green, uint8_t red) {
  platform::BgraFrame frame = platform::allocateBgraFrame(width, height);
  auto* pixels = const_cast<uint8_t*>(frame.pixels);
  for (size_t i = 0; i < size_t(width) * height * 4; i += 4) {
    pixels[i] = blue;
    pixels[i + 1] = green;
    pixels[i + 2] = red;
    pixels[i + 3] = 255;
  }
  return frame;
}

platform::BgraFrame movingFrame(int width, int height, int index) {
  platform::BgraFrame frame = platform::allocateBgraFrame(width, height);
  const int barX = (index * 7) % width;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      auto* p = const_cast<uint8_t*>(frame.at(x, y));
      const bool bar = x >= barX && x < barX + 16;
      p[0] = bar ? 255 : uint8_t(x * 255 / width);
      p[1] = bar ? 255 : uint8_t(y * 255 / height);
      p[2] = bar ? 255 : 64;
      p[3] = 255;
    }
  }
  return frame;
}

}  // namespace ferrowin::testing
